#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "store/mailbox.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

TEST(StoreConcurrencyTest, MarkingAndSavingWhileMessagesComeAndGo) {
  ScratchDirectory dir;
  auto box = CMailbox::CreateMain(dir.File("box"));
  ASSERT_EQ(box->Load(), 1);
  box->Config().Set(CMailboxConfig::LimitDustbox, true);
  box->Config().dustboxLimit = 5;
  std::atomic<bool> done{false};
  std::thread retrieval([&] {
    for (int i = 0, deleteNow = 0; i < 200; ++i) {
      CMailMessage message;
      message.Parse("Subject: m" + std::to_string(i) + "\r\n\r\nbody\r\n.\r\n");
      message.mark.uidl = "U" + std::to_string(i);
      message.mark.SetClassification(i % 3 == 0 ? VerdictSpam : VerdictOther, ReasonNone);
      box->StoreRetrieved(message, deleteNow);
    }
  });
  std::thread client([&] {
    for (; !done; box->CloseMaildrop())
      box->OpenMaildrop(), box->MaildropDelete(1), box->MaildropCommit();
  });
  for (int rounds = 1; !done; ++rounds) {
    if (const int count = box->MessageCount(); count > 0) {
      box->SetOpened(count, true), box->SetClassification(count, VerdictOther, ReasonNone);
      (void)box->Summary(count).subject;
    }
    box->UnopenedCount();
    box->Save(CMailbox::SaveWait::No), box->Dustbox()->Save(CMailbox::SaveWait::No);
    box->TrimDustbox(CMailbox::SaveWait::No);
    if (rounds % 7 == 1) box->RestoreFromDustbox(1);
    done = (rounds > 50 && box->MessageCount() == 0) || rounds > 5000;
  }
  retrieval.join();
  done = true;
  client.join();
  auto reloaded = CMailbox::CreateMain(dir.File("box"));
  ASSERT_EQ(reloaded->Load(), 1);
  EXPECT_EQ(reloaded->MessageCount() * 1000 + reloaded->Dustbox()->MessageCount(),
            box->MessageCount() * 1000 + box->Dustbox()->MessageCount());
}

}  // namespace
}  // namespace qm
