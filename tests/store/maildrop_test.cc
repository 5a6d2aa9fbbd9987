#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "store/digest_cache.h"
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
  // Messages stored by this process were digested as they were appended: nothing is read.
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Open; });
  std::vector<int> numbers;
  std::vector<std::string> uidls;
  EXPECT_EQ(box->MaildropUidlList(numbers, uidls), 2);
  EXPECT_EQ(uidls, (std::vector<std::string>{Md5Hex(texts[0]), Md5Hex(texts[2])}));
  EXPECT_EQ(box->MaildropUidl(2), Md5Hex(texts[2]));
  SetFileFaultInjector(nullptr);
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

// What happens to a mailbox's files behind the store's back after its digests were saved.
enum class Damage {
  None,
  Truncated,
  Emptied,
  FlippedDigestByte,
  FlippedCrc,
  OtherMailboxsFile,
  MessageRemovedSince,
  MessageMovedSince,
  MessageAppendedSince,
  RewrittenInPlace,
  RewrittenByRename,
};

class DigestFileTest : public StoreTest, public ::testing::WithParamInterface<Damage> {
 protected:
  std::unique_ptr<CMailbox> Open() {
    auto box = CMailbox::CreateMain(Path("drop"));
    EXPECT_EQ(box->Load(), 1);
    box->Config().SetServerDeletion(KeepOnServer);
    return box;
  }
  // Saves until each N.dig was written after the clock tick of its message file's last change,
  // which is when it is trusted.
  static void SaveTrusted(CMailbox& box) {
    for (CMailbox* member : {&box, box.Dustbox()}) {
      for (int tries = 0; tries < 400; ++tries) {
        member->Save();
        MessageFileStamp stamp;
        if (StampOfFile(member->MessageFile(), stamp) &&
            ModifiedAfter(member->DigestFile(), stamp)) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  // Does something to the stored mail with the program, then puts the old digest files back.
  void BehindTheCache(const std::function<void(CMailbox&)>& change) {
    const std::string main = ReadAll(Path("drop.dig"));
    const std::string dustbox = ReadAll(Path("drop_dustbox.dig"));
    auto box = Open();
    change(*box);
    box->Save();
    box->Dustbox()->Save();
    box.reset();
    WriteAll(Path("drop.dig"), main);
    WriteAll(Path("drop_dustbox.dig"), dustbox);
  }
  // The main mailbox's file with its first two messages (of equal length) swapped.
  std::string Swapped() const { return texts[1] + texts[0] + texts[3]; }
  // Every UIDL of the mailbox is the digest of the message's bytes in the file. `cachedOnly`:
  // the listing is made while no file can be opened, so every digest must already be known.
  static void ExpectTrueDigests(CMailbox& box, bool cachedOnly) {
    box.OpenMaildrop();
    std::vector<int> numbers;
    std::vector<std::string> uidls;
    if (cachedOnly)
      SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Open; });
    box.MaildropUidlList(numbers, uidls);
    SetFileFaultInjector(nullptr);
    ASSERT_EQ(uidls.size(), static_cast<std::size_t>(box.MessageCount()));
    for (int n = 1; n <= box.MessageCount(); ++n) {
      std::string bytes;
      ASSERT_TRUE(box.ReadStoredBytes(n, bytes));
      EXPECT_EQ(uidls[static_cast<std::size_t>(n - 1)], Md5Hex(bytes)) << box.Name() << " " << n;
    }
    box.CloseMaildrop();
  }

  // The same length for the first two and the last, so that swapping keeps every offset.
  std::vector<std::string> texts = {Text("aaa"), Text("bbb"), Text("ccc", "", "another body"),
                                    Text("ddd")};
};

TEST_P(DigestFileTest, AStaleOrDamagedFileNeverGivesAWrongDigest) {
  {
    auto box = Open();
    for (const std::string& text : texts) {
      CMailMessage m = Message(text);
      ASSERT_GT(box->AppendMessage(m), 0);
    }
    ASSERT_EQ(box->RemoveMessage(3, box->Dustbox()), 1);
    SaveTrusted(*box);
  }
  ASSERT_EQ(ReadAll(Path("drop.mbx")), texts[0] + texts[1] + texts[3]);
  const std::string dig = ReadAll(Path("drop.dig"));
  ASSERT_GT(dig.size(), 44u + 16u);
  std::string edited = dig;
  switch (GetParam()) {
    case Damage::None:
      break;
    case Damage::Truncated:
      WriteAll(Path("drop.dig"), dig.substr(0, dig.size() / 2));
      break;
    case Damage::Emptied:
      WriteAll(Path("drop.dig"), "");
      break;
    case Damage::FlippedDigestByte:
      edited[44 + 16 + 5] ^= 0x01;
      WriteAll(Path("drop.dig"), edited);
      break;
    case Damage::FlippedCrc:
      edited.back() = static_cast<char>(edited.back() ^ 0x40);
      WriteAll(Path("drop.dig"), edited);
      break;
    case Damage::OtherMailboxsFile:
      WriteAll(Path("drop.dig"), ReadAll(Path("drop_dustbox.dig")));
      break;
    case Damage::MessageRemovedSince:
      BehindTheCache([](CMailbox& box) { ASSERT_EQ(box.RemoveMessage(1, nullptr), 1); });
      break;
    case Damage::MessageMovedSince:
      BehindTheCache([](CMailbox& box) { ASSERT_EQ(box.RemoveMessage(2, box.Dustbox()), 1); });
      break;
    case Damage::MessageAppendedSince:
      BehindTheCache([this](CMailbox& box) {
        CMailMessage m = Message(texts[0]);
        ASSERT_GT(box.AppendMessage(m), 0);
      });
      break;
    case Damage::RewrittenInPlace:
      WriteAll(Path("drop.mbx"), Swapped());
      break;
    case Damage::RewrittenByRename:
      WriteAll(Path("drop.mbx.new"), Swapped());
      std::filesystem::rename(Path("drop.mbx.new"), Path("drop.mbx"));
      break;
  }
  reporter.logLines.clear();
  auto box = Open();
  const bool damaged = GetParam() != Damage::None;
  EXPECT_EQ(std::any_of(reporter.logLines.begin(), reporter.logLines.end(),
                        [](const std::string& line) {
                          return line.find("drop.dig ) does not match") != std::string::npos;
                        }),
            damaged);
  for (CMailbox* member : {box.get(), box->Dustbox()}) ExpectTrueDigests(*member, !damaged);
  if (!damaged) return;
  // Digests computed afresh are saved for the next start.
  SaveTrusted(*box);
  box.reset();
  box = Open();
  ExpectTrueDigests(*box, true);
}

INSTANTIATE_TEST_SUITE_P(Forms, DigestFileTest,
                         ::testing::Values(Damage::None, Damage::Truncated, Damage::Emptied,
                                           Damage::FlippedDigestByte, Damage::FlippedCrc,
                                           Damage::OtherMailboxsFile, Damage::MessageRemovedSince,
                                           Damage::MessageMovedSince, Damage::MessageAppendedSince,
                                           Damage::RewrittenInPlace, Damage::RewrittenByRename));

}  // namespace
}  // namespace qm
