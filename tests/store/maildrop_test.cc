#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "store/mailbox.h"
#include "store/md5.h"
#include "store_fixture.h"

namespace qm {
namespace {

using test::StoreTest;

class MaildropTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    box = CMailbox::CreateMain(Path("drop"));
    ASSERT_EQ(box->Load(), 1);
    box->Config().SetServerDeletion(KeepOnServer);
    texts = {Text("one", "", "1a\r\n1b\r\n1c"), Text("two"), Text("three", "", "3a")};
    for (const std::string& text : texts) {
      CMailMessage m = Message(text, "U-" + text.substr(9, 3));
      box->Client().RegisterKnown(m.mark.uidl, "");
      ASSERT_GT(box->AppendMessage(m), 0);
    }
    box->SetHidden(2);
  }
  void TearDown() override {
    box.reset();
    StoreTest::TearDown();
  }

  std::unique_ptr<CMailbox> box;
  std::vector<std::string> texts;
};

TEST_F(MaildropTest, HiddenMessagesAreNotOffered) {
  ASSERT_EQ(box->OpenMaildrop(), 1);
  EXPECT_EQ(box->MaildropCount(), 2);
  int count = 0;
  std::uint64_t octets = 0;
  box->MaildropStat(count, octets);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(octets, texts[0].size() + texts[2].size());
  std::vector<int> numbers;
  std::vector<std::uint64_t> sizes;
  EXPECT_EQ(box->MaildropList(numbers, sizes), 2);
  EXPECT_EQ(sizes[1], texts[2].size());
  std::string bytes;
  ASSERT_EQ(box->MaildropRetrieve(2, bytes), 1);
  EXPECT_EQ(bytes, texts[2]);
  EXPECT_EQ(box->MaildropRetrieve(3, bytes), 0);
  EXPECT_EQ(box->MaildropSize(0), 0u);
  box->CloseMaildrop();
}

TEST_F(MaildropTest, DeletionsAreAppliedAtCommitHighestFirst) {
  box->OpenMaildrop();
  EXPECT_EQ(box->MaildropDelete(1), 1);
  EXPECT_EQ(box->MaildropDelete(1), 0);
  EXPECT_EQ(box->MaildropDelete(0), 0);
  EXPECT_EQ(box->MaildropDelete(2), 1);
  EXPECT_EQ(box->MaildropSize(2), 0u);
  EXPECT_EQ(box->MaildropUidl(2), "");
  int count = -1;
  std::uint64_t octets = 0;
  box->MaildropStat(count, octets);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(box->MaildropCommit(), 1);
  box->CloseMaildrop();
  ASSERT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(box->Summary(1).subject, "two");
  EXPECT_EQ(ReadAll(Path("drop.mbx")), texts[1]);
  // The client's deletions are deletions for good: the copies stay on the server, unfetched.
  EXPECT_EQ(box->Client().DeletedHere().Count(), 2u);
}

TEST_F(MaildropTest, ResetUndoesDeletions) {
  box->OpenMaildrop();
  box->MaildropDelete(1);
  box->MaildropDelete(2);
  box->MaildropReset();
  box->MaildropCommit();
  box->CloseMaildrop();
  EXPECT_EQ(box->MessageCount(), 3);
}

TEST_F(MaildropTest, TopCutsAfterTheAskedLines) {
  box->OpenMaildrop();
  EXPECT_EQ(box->MaildropTop(1, 0), "Subject: one\r\n\r\n");
  EXPECT_EQ(box->MaildropTop(1, 2), "Subject: one\r\n\r\n1a\r\n1b\r\n");
  // More lines than the body has: the whole stored text, terminator included.
  EXPECT_EQ(box->MaildropTop(1, 100), texts[0]);
  EXPECT_EQ(box->MaildropTop(7, 1), "");
  box->CloseMaildrop();
}

TEST_F(MaildropTest, UniqueIdIsTheDigestOfEveryStoredByte) {
  box->OpenMaildrop();
  // The listing digests in one pass what nothing has digested yet.
  std::vector<int> numbers;
  std::vector<std::string> uidls;
  EXPECT_EQ(box->MaildropUidlList(numbers, uidls), 2);
  EXPECT_EQ(uidls, (std::vector<std::string>{Md5Hex(texts[0]), Md5Hex(texts[2])}));
  EXPECT_EQ(box->MaildropUidl(2), Md5Hex(texts[2]));
  box->CloseMaildrop();
  // The kept digest moves with its message when an earlier one is removed.
  ASSERT_EQ(box->RemoveMessage(1, nullptr), 1);
  // Digests are asked for by 0-based stored index.
  EXPECT_EQ(box->MessageDigest(0), Md5Hex(texts[1]));
  EXPECT_EQ(box->MessageDigest(0), Md5Hex(texts[1]));
  EXPECT_EQ(box->MessageDigest(1), Md5Hex(texts[2]));
  EXPECT_EQ(box->MessageDigest(5), "");
}

TEST_F(MaildropTest, CommitTellsTheFrontEnd) {
  struct Events : IStoreEvents {
    void MaildropCommitted(CMailbox& mailbox, bool removed) override {
      who = &mailbox;
      anyRemoved = removed;
    }
    CMailbox* who = nullptr;
    bool anyRemoved = true;
  } events;
  SetStoreEvents(&events);
  box->OpenMaildrop();
  box->MaildropCommit();
  box->CloseMaildrop();
  EXPECT_EQ(events.who, box.get());
  EXPECT_FALSE(events.anyRemoved);
  SetStoreEvents(nullptr);
}

TEST_F(MaildropTest, ASecondConnectionWaitsForTheFirst) {
  box->OpenMaildrop();
  std::atomic<bool> opened{false};
  std::thread second([&] {
    box->OpenMaildrop();
    opened = true;
    box->CloseMaildrop();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(opened.load());
  box->CloseMaildrop();
  second.join();
  EXPECT_TRUE(opened.load());
}

}  // namespace
}  // namespace qm
