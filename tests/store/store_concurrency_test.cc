// The user-interface thread marks, counts and saves a mailbox while a retrieval stores into it
// and a mail client's session removes from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "store/mailbox.h"

namespace qm {
namespace {

TEST(StoreConcurrencyTest, MarkingAndSavingWhileMessagesComeAndGo) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qm_store_threads_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  auto box = CMailbox::CreateMain((dir / "box").string());
  ASSERT_EQ(box->Load(), 1);
  box->Config().SetServerDeletion(KeepOnServer);

  std::atomic<bool> done{false};
  std::thread retrieval([&] {
    for (int i = 0; i < 200; ++i) {
      CMailMessage message;
      message.Parse("Subject: m" + std::to_string(i) + "\r\n\r\nbody\r\n.\r\n");
      box->AppendMessage(message);
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
  int rounds = 0;
  while (!done) {
    const int count = box->MessageCount();
    if (count > 0) {
      box->SetOpened(count, true);
      (void)box->Summary(count).subject;
      box->SetClassification(count, VerdictOther, ReasonNone);
    }
    box->UnopenedCount();
    box->Save();
    if (++rounds > 50 && box->MessageCount() == 0) done = true;
    if (rounds > 5000) done = true;
  }
  retrieval.join();
  done = true;
  client.join();

  auto reloaded = CMailbox::CreateMain((dir / "box").string());
  ASSERT_EQ(reloaded->Load(), 1);
  EXPECT_EQ(reloaded->MessageCount(), box->MessageCount());
  box.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qm
