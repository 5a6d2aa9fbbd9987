// Retrieval stores mail while the UI thread removes, marks and saves the same mailbox; for TSan.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "pop3client/pop3_session.h"
#include "pop3client/retrieval.h"
#include "store/mailbox.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

TEST(RetrievalConcurrencyTest, UserWorksOnTheMailboxWhileMailArrives) {
  test::RecordingReporter reporter;
  SetReporter(&reporter);
  ScratchDirectory directory;
  auto server = std::make_shared<test::FakePop3Server>();
  server->chunk = 512;
  for (int i = 0; i < 40; ++i)
    server->messages.push_back(
        {"uid" + std::to_string(i), "Subject: x\r\n\r\n" + std::string(3000, 'b') + "\r\n"});
  auto owned = std::make_unique<CPop3Session>(std::make_unique<test::FakeStream>(server));
  owned->SetAccount("pop.example.org", 110, "u", "p");
  auto mailbox = CMailbox::CreateMain(directory.File("box"), std::move(owned));
  ASSERT_EQ(mailbox->Load(), 1);
  mailbox->Config().options = 0;
  mailbox->Config().SetServerDeletion(DeleteWhenPurged);
  std::atomic<bool> done{false};
  std::thread retrieval([&] {  // each run sees the deletions asked for
    for (int run = 0; run < 4; ++run) EXPECT_EQ(Retrieve(*mailbox), kRetrieveDone);
    done = true;
  });
  while (!done) {
    if (const int count = mailbox->MessageCount(); count > 2) {
      mailbox->SetOpened(1, true);
      mailbox->RemoveMessage(count, mailbox->Dustbox());
      mailbox->Dustbox()->RemoveMessage(1, nullptr);
    }
    mailbox->Save();
    mailbox->SaveServerLists();
    (void)mailbox->Summary(1);
    std::this_thread::yield();
  }
  retrieval.join();
  // Every message is somewhere: stored here, or deleted here and on the server, never twice.
  std::set<std::string> uids;
  for (int n = 1; n <= mailbox->MessageCount(); ++n) uids.insert(mailbox->Mark(n).uidl);
  EXPECT_EQ(uids.size(), static_cast<std::size_t>(mailbox->MessageCount()));
  EXPECT_LE(mailbox->MessageCount() + mailbox->Dustbox()->MessageCount(), 40);
  SetReporter(nullptr);
}

}  // namespace
}  // namespace qm
