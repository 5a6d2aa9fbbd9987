// The user-interface thread marks, counts, saves, restores and trims a mailbox while a retrieval
// stores into it and its dustbox and a mail client's session removes from it.
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
  box->Config().SetServerDeletion(DeleteWhenRetrieved);
  box->Config().Set(CMailboxConfig::LimitDustbox, true);
  box->Config().dustboxLimit = 5;
  std::atomic<bool> done{false};
  std::thread retrieval([&] {
    for (int i = 0; i < 200; ++i) {
      CMailMessage message;
      message.Parse("Subject: m" + std::to_string(i) + "\r\n\r\nbody\r\n.\r\n");
      message.mark.uidl = "U" + std::to_string(i);
      // Spam goes to the dustbox.
      message.mark.SetClassification(i % 3 == 0 ? VerdictSpam : VerdictOther, ReasonNone);
      int deleteNow = 0;
      box->StoreRetrieved(message, deleteNow);
    }
  });
  std::thread client([&] {
    while (!done) {
      box->OpenMaildrop();
      box->MaildropDelete(1);
      box->MaildropCommit();
      box->CloseMaildrop();
    }
  });
  for (int rounds = 1; !done; ++rounds) {
    const int count = box->MessageCount();
    if (count > 0) {
      box->SetOpened(count, true);
      (void)box->Summary(count).subject;
      box->SetClassification(count, VerdictOther, ReasonNone);
    }
    box->UnopenedCount();
    box->Save(CMailbox::SaveWait::No);
    box->Dustbox()->Save(CMailbox::SaveWait::No);
    box->TrimDustbox(CMailbox::SaveWait::No);
    if (rounds % 7 == 1) box->RestoreFromDustbox(1);
    done = (rounds > 50 && box->MessageCount() == 0) || rounds > 5000;
  }
  retrieval.join();
  done = true;
  client.join();
  auto reloaded = CMailbox::CreateMain(dir.File("box"));
  ASSERT_EQ(reloaded->Load(), 1);
  EXPECT_EQ(reloaded->MessageCount(), box->MessageCount());
  EXPECT_EQ(reloaded->Dustbox()->MessageCount(), box->Dustbox()->MessageCount());
}

}  // namespace
}  // namespace qm
