#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "platform/file_io.h"
#include "store/archive.h"
#include "store/commit_records.h"
#include "store/digest_cache.h"
#include "store/mailbox.h"
#include "store/md5.h"

namespace qm {
namespace {

class StoreTest : public test::MailboxSetTest {
 public:
  std::unique_ptr<CMailbox> Load(const std::string& name) const {
    auto box = CMailbox::CreateMain(name);
    EXPECT_EQ(box->Load(), 1) << name;
    return box;
  }
  static std::string Text(const std::string& subject, const std::string& body = "body") {
    return "Subject: " + subject + "\r\n\r\n" + body + "\r\n.\r\n";
  }
  static CMailMessage Message(const std::string& text, const std::string& uidl = {}) {
    CMailMessage message;
    message.Parse(text), message.mark.uidl = uidl,
                         message.mark.SetClassification(VerdictUnclassified, 0);
    return message;
  }
};

// Subjects and unique ids of a mailbox's messages, or the unique ids of a list; sorted.
std::string Of(const CMailbox& mailbox) {
  std::string all;
  for (int n = 1; n <= mailbox.MessageCount(); ++n)
    all += mailbox.Summary(n).subject + "=" + mailbox.Mark(n).uidl + " ";
  return all;
}
std::string Of(CUidList list) {
  std::set<std::string> uidls;
  std::string uidl, messageId, joined;
  for (list.Rewind(); list.Next(uidl, messageId);) uidls.insert(uidl);
  for (const std::string& each : uidls) joined += each + " ";
  return joined;
}
std::string U32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string Str(const std::string& s) { return static_cast<char>(s.size()) + s; }

// Not one byte repeated, so that a shifted copy is noticed.
std::string Filler(std::size_t size, std::uint32_t seed = 1) {
  std::string bytes;
  while (bytes.size() < size)
    bytes += static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  return bytes;
}

// Strings of every length form and numbers, cut anywhere (at a heap block's end): what is whole
// reads back, the cut item fails untouched; a 4 GiB claim fails before allocating.
TEST(ArchiveTest, EveryTruncationFailsCleanlyAtTheCutItem) {
  const std::vector<std::string> strings = {"", Filler(254), Filler(255), Filler(65534)};
  std::string data;
  CArchiveWriter writer(data);
  std::vector<std::size_t> ends;
  for (const std::string& text : strings) {
    writer.WriteU32(0xA5000C0Du), writer.WriteU16(110), ends.push_back(data.size());
    if (!writer.WriteString(text)) FAIL();
    ends.push_back(data.size());
  }
  std::vector<char> block(data.size());
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    char* start = block.data() + block.size() - cut;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut), start);
    CArchiveReader reader(std::string_view(start, cut));
    for (std::size_t item = 0; item < ends.size(); item += 2) {
      std::uint32_t u32 = 1;
      std::uint16_t u16 = 1;
      std::string text = "untouched";
      const std::size_t at = reader.Position();
      ASSERT_EQ(reader.ReadU32(u32) && reader.ReadU16(u16), ends[item] <= cut) << cut;
      if (ends[item] > cut) break;
      ASSERT_EQ(reader.ReadString(text), ends[item + 1] <= cut) << cut;
      ASSERT_TRUE(ends[item + 1] <= cut
                      ? u32 == 0xA5000C0Du && u16 == 110 && text == strings[item / 2]
                      : text == "untouched" && reader.Position() == at + 6)
          << cut;
      if (ends[item + 1] > cut) break;
    }
  }
  EXPECT_EQ(
      data.substr(0, 7) + data.substr(ends[5] - 255 - 3, 3) + data.substr(ends[7] - 65534 - 7, 7),
      std::string("\x0D\x0C\0\xA5\x6E\0\0\xFF\xFF\0\xFF\xFF\xFF\xFE\xFF\0\0", 17));
  const std::string claim = "\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + Filler(64);
  const std::vector<char> copy(claim.begin(), claim.end());
  CArchiveReader huge(std::string_view(copy.data(), copy.size()));
  std::string text;
  EXPECT_FALSE(huge.ReadString(text) || huge.Position() != 0);
}

// Any cut, flipped or added byte refuses the whole transaction.
TEST(CommitRecordsTest, ATransactionRoundTripsAndEveryCutOrFlippedByteIsRefused) {
  Transaction written;
  written.boxes = {{PairMember::Main, 900, 400, std::string("\x01\0\0\0\x0c\0", 6)},
                   {PairMember::Dustbox, 100, 600, std::string(300, 'm')}};
  written.deletedHereAdded.Add("a", "<a@x>"), written.pendingAdded.Add("b", "");
  const std::string bytes = EncodeTransaction(written);
  EXPECT_TRUE(DecodeTransaction(bytes) == written && !DecodeTransaction(bytes + "x"));
  std::string flipped;
  for (std::size_t cut = 0; cut < bytes.size(); ++cut)
    EXPECT_FALSE(DecodeTransaction(bytes.substr(0, cut)) ||
                 ((flipped = bytes)[cut] ^= 1, DecodeTransaction(flipped)))
        << cut;
}

using MailboxFilesTest = StoreTest;
namespace fs = std::filesystem;

// Saves until each digest file is newer than its message file's last change, and so trusted.
void SaveTrusted(CMailbox& box) {
  for (CMailbox* member : {&box, box.Dustbox()}) {
    MessageFileStamp stamp;
    for (int tries = 0; tries < 400; ++tries) {
      member->Save();
      if (StampOfFile(member->MessageFile(), stamp) && ModifiedAfter(member->DigestFile(), stamp))
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

// Every UIDL is the digest of the message's bytes; `cachedOnly`: all from the saved digests.
void ExpectTrueDigests(CMailbox& box, bool cachedOnly) {
  std::vector<int> numbers;
  std::vector<std::string> uidls;
  box.OpenMaildrop();
  if (cachedOnly) SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Open; });
  box.MaildropUidlList(numbers, uidls);
  SetFileFaultInjector(nullptr);
  ASSERT_EQ(uidls.size(), static_cast<std::size_t>(box.MessageCount()));
  for (int n = 1; n <= box.MessageCount(); ++n) {
    std::string bytes;
    EXPECT_TRUE(box.ReadStoredBytes(n, bytes) && uidls[n - 1] == Md5Hex(bytes)) << box.Name() << n;
  }
  box.CloseMaildrop();
}

// Saved digests are trusted; a damaged or stale file is noticed and never gives a wrong one.
TEST_F(MailboxFilesTest, AStaleOrDamagedDigestFileNeverGivesAWrongDigest) {
  const std::string a = Text("aaa"), b = Text("bbb"), c = Text("ccc", "another body");
  for (int damage : {0, 2, 3, 4, 5}) {
    SCOPED_TRACE(damage);
    const std::string name = "drop" + std::to_string(damage);
    {
      auto box = Load(name);
      box->Config().SetServerDeletion(KeepOnServer);
      for (CMailMessage m : {Message(a), Message(b), Message(c), Message(a)})
        ASSERT_GT(box->AppendMessage(m), 0);
      ASSERT_EQ(box->RemoveMessage(3, box->Dustbox()), 1);
      SaveTrusted(*box);
    }
    std::string dig = ReadAll(name + ".dig");
    if (damage == 2) dig[65] ^= 1, WriteAll(name + ".dig", dig);
    if (damage == 3) WriteAll(name + ".dig", dig.substr(0, 50));
    if (damage == 4) WriteAll(name + ".mbx", b + a + a);  // rewritten in place, offsets unchanged
    if (damage == 5) WriteAll(name + ".new", b + a + a), fs::rename(name + ".new", name + ".mbx");
    reporter.logLines.clear();
    auto box = Load(name);
    EXPECT_EQ(reporter.logLines.size() == 1 &&
                  reporter.logLines[0].find(".dig ) does not match") != std::string::npos,
              damage != 0);
    for (CMailbox* member : {box.get(), box->Dustbox()}) ExpectTrueDigests(*member, damage == 0);
    SaveTrusted(*box);  // digests computed afresh are saved for the next start
    box.reset();
    ExpectTrueDigests(*Load(name), true);
  }
}

// Older settings files keep their bytes; a damaged one gives the defaults rather than, say, a
// plain account for a secure one or a password account for a token one.
TEST_F(MailboxFilesTest, OlderSettingsFilesKeepTheirBytesAndDamagedOnesGiveTheDefaults) {
  const std::string head = Str("me") + Str("pw") + Str("") + Str("") + U32(180) + U32(100) +
                           std::string("\x09\x46\x01\x00", 4) + Str("pop.example.com") + U32(995) +
                           Str("me@example.com") + Str(""),
                    tls = "QMS1" + U32(1) + Str(""),
                    login = "QMA1" + U32(1) + Str("oama access me@example.com") + Str("");
  std::string got;
  for (const std::string& bytes :
       {head, head + tls, head + tls + login, head + login + "QMZ9xyz",
        head + login.substr(0, login.size() - 2), head + "QMA1" + U32(2) + Str("") + Str(""),
        head + "QMS1" + U32(2) + Str("/ca.pem").substr(0, 4), head + "QMS1" + U32(7) + Str("/ca"),
        Str("user") + Str("pw") + "\xFF\xFF\xFF\x10\x00\x00\x00"}) {
    WriteAll("m.cfg", bytes);
    reporter.logLines.clear();
    auto box = Load("m");
    const CRemoteAccount& account = box->Client().account;
    got += (box->Config() == CMailboxConfig{} && account == CRemoteAccount{}
                ? "default"
                : account.server.substr(0, 3) + std::to_string(static_cast<int>(account.auth))) +
           std::to_string(box->ConfigDirty() * 10 + reporter.logLines.size());
    box->MarkConfigDirty();
    got += box->SaveConfig() == 1 && ReadAll("m.cfg") == bytes ? "= " : " ";
  }
  EXPECT_EQ(got, "pop00= pop00= pop10= pop10 default11 default11 default11 default11 default11 ");
}

// Damaged marks and server-list files keep what was whole (and the save writes one mark a message);
// a partial last message is set aside, never merged with the next, or else the load is refused.
TEST_F(MailboxFilesTest, DamagedFilesKeepWhatWasWhole) {
  const std::string fresh = U32(0x0C) + Str(""), one = U32(2) + U32(0x0F) + Str("") + fresh;
  const std::pair<std::string, std::string> cases[] = {
      {"", U32(2) + fresh + fresh},
      {std::string("\x02\x00", 2), U32(2) + fresh + fresh},
      {U32(0xFFFFFFFF) + U32(0x0F) + Str(""), one},
      {U32(2) + U32(0x0F) + Str("") + U32(0x0F), one},
      {U32(2) + U32(0x0F) + Str("") + U32(0x0F) + "\xFF\xFF\xFF" + U32(0xFFFFFFF0), one},
      {U32(1) + U32(0x1F) + Str("U1"), U32(2) + U32(0x1F) + Str("U1") + fresh},
      {U32(3) + U32(0x0E) + Str("") + U32(0x0C) + Str("X") + fresh,
       U32(2) + U32(0x0E) + Str("") + U32(0x0C) + Str("X")}};
  std::string got, messageId;
  for (const auto& [flg, saved] : cases) {
    WriteAll("d.mbx", "Message-ID: <1@x>\r\n" + Text("1") + Text("2")), WriteAll("d.flg", flg);
    auto box = Load("d");
    const bool dirty = box->MarksDirty();
    messageId = box->Client().KnownUidls().Find("U1", messageId) == 1 ? messageId : "";
    got += std::to_string(box->MessageCount() * 10 + dirty) + messageId +
           (box->Save() == 1 && ReadAll("d.flg") == saved ? "= " : " ");
  }
  EXPECT_EQ(got, "21= 21= 21= 21= 21= 21<1@x>= 21= ");
  WriteAll("t.svm", U32(2) + Str("U1") + Str("m1") + Str("U2"));
  const std::string partial = "Subject: cut\r\n\r\nhalf a bo";
  WriteAll("p.mbx", Text("whole") + partial), WriteAll("q.mbx", Text("whole") + partial);
  CMailMessage next = Message(Text("next"));
  reporter.logLines.clear();
  EXPECT_EQ(Load("p")->AppendMessage(next), 2);
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Truncate; });
  EXPECT_EQ(CMailbox::CreateMain("q")->Load(), 0);
  SetFileFaultInjector(nullptr);
  auto box = Load("t");
  EXPECT_EQ(
      Of(box->Client().DeletedHere()) + "|" + Of(box->Client().PendingDeletions()) +
          std::to_string(box->Client().ServerListsChanged()) + "|" + ReadAll("p.mbx") + "|" +
          ReadAll("p.partial") + "|" + ReadAll("q.mbx"),
      "U1 |1|" + Text("whole") + Text("next") + "|" + partial + "|" + Text("whole") + partial);
  EXPECT_EQ(reporter.logLines.at(0).substr(0, 6), "MBX : ");
}

// Decides verdicts by the subject's first letter, as the real classifier does by its rules.
class MailboxOpsTest : public StoreTest, public IClassifier {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    box = Load("inbox");
    box->SetClassifier(this);
  }
  void Classify(CMailMessage& message) override {
    const char first = message.Subject()[0];
    const int verdict = first == 's' ? VerdictSpam : first == 'f' ? VerdictFriend : VerdictOther;
    message.mark.SetClassification(verdict,
                                   verdict == VerdictFriend ? ReasonFriendList : ReasonNone);
    ++calls;
  }
  void Retrieve(const std::vector<std::string>& subjects) {
    for (int deleteNow = -1; const std::string& subject : subjects) {
      CMailMessage message = Message(Text(subject), "U" + subject);
      Classify(message);
      EXPECT_GT(box->StoreRetrieved(message, deleteNow), 0);
    }
  }
  int calls = 0;
  std::unique_ptr<CMailbox> box;
};

TEST_F(MailboxOpsTest, RemovalsRewriteOnceAndShiftTheRestDownWithTheirMarks) {
  box->Config().SetServerDeletion(KeepOnServer);
  Retrieve({"m1", "m2", "m3", "m4", "m5", "m6"});
  box->SetOpened(6, true);
  int renames = 0;
  SetFileFaultInjector(
      [&renames](FileOperation op) { return renames += op == FileOperation::Rename, false; });
  EXPECT_EQ(box->RemoveMessages({2, 5, 4, 5, 9}, nullptr), 3);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(renames, 4);  // the message file, the intent, the marks and the server lists
  EXPECT_EQ(Of(*box) + "| " + Of(box->Client().DeletedHere()),
            "m1=Um1 m3=Um3 m6=Um6 | Um2 Um4 Um5 ");
  EXPECT_EQ(
      ReadAll("inbox.mbx") + std::to_string(box->Mark(3).Opened() * 1000 + box->StoredLength(3)),
      Text("m1") + Text("m3") + Text("m6") + std::to_string(1000 + Text("m6").size()));
  EXPECT_EQ(box->RemoveMessages({0, 9}, nullptr), 0);
  EXPECT_EQ(box->TakeChanged() * 10 + box->TakeChanged() + std::filesystem::exists("inbox.tmp"),
            10);
}

TEST_F(MailboxOpsTest, TrimmingRequestsDeletionUnderPurgePolicyAndOnlyWhenLimited) {
  box->Config().SetServerDeletion(DeleteWhenPurged);
  box->Config().dustboxLimit = 2;
  Retrieve({"spam1", "spam2", "spam3", "spam4"});
  box->TrimDustbox();
  EXPECT_EQ(Of(*box->Dustbox()) + "| " + Of(box->Client().PendingDeletions()),
            "spam3=Uspam3 spam4=Uspam4 | Uspam1 Uspam2 ");
  box->Config().Set(CMailboxConfig::LimitDustbox, false), box->Config().dustboxLimit = 0;
  box->TrimDustbox();
  EXPECT_EQ(box->Dustbox()->MessageCount(), 2);
}

TEST_F(MailboxOpsTest, ClassificationOnDemandIsKeptUntilAskedAgain) {
  CMailMessage m = Message(Text("friend hello"));
  ASSERT_EQ(box->AppendMessage(m), 1);
  unsigned reason = 99;
  EXPECT_EQ(box->GetClassification(1, false, &reason), VerdictFriend);
  EXPECT_EQ(reason + 10 * box->Summary(1).verdict, ReasonFriendList + 10 * VerdictFriend);
  const int cached = (box->GetClassification(1, false), calls);  // kept until asked again
  EXPECT_EQ(cached * 10 + (box->GetClassification(1, true), calls), 12);
  EXPECT_EQ(box->SetClassification(2, 1, 1) * 10 +
                box->SetClassification(1, VerdictSpam, ReasonRelayZoneB),
            1);
  EXPECT_EQ(box->Summary(1).reason, ReasonRelayZoneB);
}

}  // namespace
}  // namespace qm
