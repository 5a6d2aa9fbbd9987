// The mailbox's files: what is written byte for byte, and what is made of files written
// elsewhere, by older versions, or damaged.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_io.h"
#include "store/digest_cache.h"
#include "store/md5.h"
#include "store_fixture.h"

namespace qm {
namespace {

using test::StoreTest;
using MailboxFilesTest = StoreTest;

std::string U32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string U16(std::uint16_t v) { return {static_cast<char>(v), static_cast<char>(v >> 8)}; }
std::string Str(const std::string& s) { return static_cast<char>(s.size()) + s; }
const std::string kFresh = U32(0x0C) + Str("");
// The users and passwords of the local accounts, both empty, and the default interval, dustbox
// limit and option words.
const std::string kDefaults =
    Str("") + Str("") + Str("") + Str("") + U32(180) + U32(100) + U16(0x4609) + U16(0x0001);

TEST_F(MailboxFilesTest, AppendedMessagesMarksAndDefaultSettingsAreSavedByteForByte) {
  auto box = Load("inbox");
  const std::string a = Text("a", "", "line\r\n..dotted");
  const std::string b = Text("b");
  CMailMessage ma = Message(a, "UID-A", VerdictSpam, ReasonUrlHostZone);
  CMailMessage mb = Message(b);
  EXPECT_EQ(box->AppendMessage(ma), 1);
  EXPECT_EQ(box->AppendMessage(mb), 2);
  EXPECT_EQ(box->StoredLength(1), a.size());
  EXPECT_EQ(Read("inbox.mbx"), a + b);
  EXPECT_EQ(box->Summary(1).subject, "a");
  box->MarkConfigDirty();
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(Read("inbox.flg"), U32(2) + U32(0x64) + Str("UID-A") + kFresh);
  EXPECT_EQ(Read("inbox.cfg"), kDefaults + Str("") + U32(110) + Str("") + Str(""));
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.svm")));
}

TEST_F(MailboxFilesTest, SettingsRoundTripWithEveryOptionBitSecurityAndLogin) {
  CRemoteAccount account;
  account.server = "pop.example.jp";
  account.port = 995;
  account.security = ConnectionSecurity::StartTls;
  account.caFile = "/etc/private-ca.pem";
  account.auth = AuthMethod::XOAuth2;
  account.tokenCommand = "oama access x";
  {
    auto box = Load("m");
    CMailboxConfig& config = box->Config();
    config.localUser = "me";
    config.dustboxPassword = "pw";
    config.timerInterval = 600;
    config.dustboxLimit = 7;
    config.options = 0x000FFFFF;  // every stored bit
    box->Client().account = account;
    ASSERT_EQ(box->SaveConfig(), 1);
    // Word A has bits 0-14, word B bits 0-6; the exemptions appear in both.
    EXPECT_NE(Read("m.cfg").find(U32(600) + U32(7) + U16(0x7FFF) + U16(0x007F)), std::string::npos);
  }
  auto again = Load("m");
  EXPECT_EQ(again->Config().options, 0x000FFFFFu);
  EXPECT_EQ(again->Config().localUser, "me");
  EXPECT_EQ(again->Config().dustboxPassword, "pw");
  EXPECT_EQ(again->Client().account, account);
  EXPECT_FALSE(again->ConfigDirty());
  // The exemptions are read from word B alone.
  std::string words = kDefaults;
  words.replace(words.size() - 4, 4, U16(0x3000) + U16(0x0002));
  Write("m.cfg", words + Str("h") + U32(110) + Str("u") + Str("p"));
  auto box = Load("m");
  EXPECT_FALSE(box->Config().Has(CMailboxConfig::KeepFriendOnServer));
  EXPECT_FALSE(box->Config().Has(CMailboxConfig::KeepOtherOnServer));
  EXPECT_EQ(box->Config().GetServerDeletion(), DeleteWhenDustboxed);
}

// Settings files of older versions keep their bytes; a damaged one gives the defaults rather
// than, say, a plain account for a secure one or a password account for a token one.
const std::string kHead = Str("me") + Str("pw") + Str("") + Str("") + U32(180) + U32(100) +
                          U16(0x4609) + U16(0x0001) + Str("pop.example.com") + U32(995) +
                          Str("me@example.com") + Str("");
const std::string kSecurity = "QMS1" + U32(1) + Str("");
const std::string kLogin = "QMA1" + U32(1) + Str("oama access me@example.com") + Str("");
struct SettingsCase {
  std::string bytes;
  bool whole;
  AuthMethod auth;
  bool savedAgainAsItWas;
};

class SettingsFileTest : public StoreTest, public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsFileTest, LoadsWholeFilesAndGivesTheDefaultsForDamagedOnes) {
  const SettingsCase& c = GetParam();
  Write("m.cfg", c.bytes);
  auto box = Load("m");
  EXPECT_EQ(box->ConfigDirty(), !c.whole);
  EXPECT_EQ(reporter.logLines.empty(), c.whole);
  if (!c.whole) {
    EXPECT_EQ(box->Config(), CMailboxConfig{});
    EXPECT_EQ(box->Client().account, CRemoteAccount{});
    return;
  }
  EXPECT_EQ(box->Client().account.server, "pop.example.com");
  EXPECT_EQ(box->Client().account.auth, c.auth);
  box->MarkConfigDirty();
  ASSERT_EQ(box->SaveConfig(), 1);
  EXPECT_EQ(Read("m.cfg") == c.bytes, c.savedAgainAsItWas);
}

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsFileTest,
    ::testing::Values(
        SettingsCase{kHead, true, AuthMethod::Password, true},
        SettingsCase{kHead + kSecurity, true, AuthMethod::Password, true},
        SettingsCase{kHead + kSecurity + kLogin, true, AuthMethod::XOAuth2, true},
        SettingsCase{kHead + kLogin + "QMZ9xyz", true, AuthMethod::XOAuth2, false},
        SettingsCase{kHead + kLogin.substr(0, kLogin.size() - 2), false, {}, false},
        SettingsCase{kHead + "QMA1" + U32(2) + Str("") + Str(""), false, {}, false},
        SettingsCase{kHead + "QMS1" + U32(2) + Str("/ca.pem").substr(0, 4), false, {}, false},
        SettingsCase{kHead + "QMS1" + U32(7) + Str("/ca.pem"), false, {}, false},
        SettingsCase{Str("user") + Str("pw") + "\xFF\xFF\xFF\x10\x00\x00\x00", false, {}, false}));

// Marks files of two messages: what can be read is kept, the rest marked afresh, and the next
// save writes one record a message.
struct MarksCase {
  const char* name;
  std::string flg;
  std::string saved;
};

class MarksFileTest : public StoreTest, public ::testing::WithParamInterface<MarksCase> {};

TEST_P(MarksFileTest, LoadsWhatCanBeReadAndMarksTheRestAfresh) {
  Write("d.mbx", Text("1", "Message-ID: <1@x>\r\n") + Text("2"));
  Write("d.flg", GetParam().flg);
  auto box = Load("d");
  ASSERT_EQ(box->MessageCount(), 2);
  EXPECT_TRUE(box->MarksDirty());
  // A tracked server copy is known to the client with its Message-ID.
  std::string messageId;
  EXPECT_EQ(box->Client().KnownUidls().Find("U1", messageId) == 1 && messageId == "<1@x>",
            GetParam().saved.find("U1") != std::string::npos);
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(Read("d.flg"), GetParam().saved);
}

const std::string kOneRecord = U32(2) + U32(0x0F) + Str("") + kFresh;
INSTANTIATE_TEST_SUITE_P(
    Files, MarksFileTest,
    ::testing::Values(
        MarksCase{"Empty", "", U32(2) + kFresh + kFresh},
        MarksCase{"ShortCount", "\x02\x00", U32(2) + kFresh + kFresh},
        MarksCase{"HugeCount", U32(0xFFFFFFFF) + U32(0x0F) + Str(""), kOneRecord},
        MarksCase{"CutInRecord", U32(2) + U32(0x0F) + Str("") + U32(0x0F), kOneRecord},
        MarksCase{"HugeString",
                  U32(2) + U32(0x0F) + Str("") + U32(0x0F) + "\xFF\xFF\xFF" + U32(0xFFFFFFF0),
                  kOneRecord},
        MarksCase{"FewerRecords", U32(1) + U32(0x1F) + Str("U1"),
                  U32(2) + U32(0x1F) + Str("U1") + kFresh},
        MarksCase{"MoreRecords", U32(3) + U32(0x0E) + Str("") + U32(0x0C) + Str("X") + kFresh,
                  U32(2) + U32(0x0E) + Str("") + U32(0x0C) + Str("X")}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MailboxFilesTest, AnIncompleteLastMessageIsCutOffAndKept) {
  const std::string partial = "Subject: cut\r\n\r\nhalf a bo";
  Write("p.mbx", Text("whole") + partial);
  {
    auto box = Load("p");
    EXPECT_EQ(box->MessageCount(), 1);
    EXPECT_EQ(Read("p.mbx"), Text("whole"));
    EXPECT_EQ(Read("p.partial"), partial);
    ASSERT_EQ(reporter.logLines.size(), 1u);
    EXPECT_EQ(reporter.logLines[0].rfind("MBX : ", 0), 0u);
    CMailMessage next = Message(Text("next"));
    EXPECT_EQ(box->AppendMessage(next), 2);
  }
  // The next message never merged with the cut-off bytes.
  auto reloaded = Load("p");
  EXPECT_EQ(reloaded->MessageCount(), 2);
  EXPECT_EQ(reloaded->Summary(2).subject, "next");
  // Where the cut itself fails, the mailbox is refused and its file left alone.
  Write("q.mbx", Text("whole") + "Subject: cut\r\n");
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Truncate; });
  EXPECT_EQ(CMailbox::CreateMain(Path("q"))->Load(), 0);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(Read("q.mbx"), Text("whole") + "Subject: cut\r\n");
}

TEST_F(MailboxFilesTest, ScanDoesNotSplitStuffedLinesAndSpansChunks) {
  // Messages large enough to cross the loader's read chunks, with dotted lines inside.
  std::string body;
  for (int i = 0; i < 40000; ++i) body += "..line " + std::to_string(i) + "\r\n";
  const std::string big = Text("big", "", body + "end");
  Write("big.mbx", big + big + big + big + big);
  auto box = Load("big");
  ASSERT_EQ(box->MessageCount(), 5);
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(box->StoredLength(n), big.size());
}

TEST_F(MailboxFilesTest, AMissingFileIsMadeAndAnUnopenableOneFailsTheLoad) {
  auto box = Load("e");
  EXPECT_EQ(box->MessageCount(), 0);
  EXPECT_TRUE(std::filesystem::exists(Path("e_dustbox.mbx")));
  EXPECT_FALSE(box->MarksDirty());
  for (const std::string file : {"dir.mbx", "dust_dustbox.mbx"}) {
    std::filesystem::create_directories(Path(file));
    EXPECT_EQ(CMailbox::CreateMain(Path(file.substr(0, file.find_first_of("_."))))->Load(), 0);
  }
}

TEST_F(MailboxFilesTest, ServerListsAreSavedRemovedWhenEmptyAndOutliveTheMailbox) {
  auto box = Load("s");
  CMailboxClient& client = box->Client();
  client.RegisterKnown("U1", "<1@x>");
  client.RegisterKnown("U2", "");
  client.ForgetDeleted("U1");
  client.RequestServerDeletion("U2");
  ASSERT_EQ(box->Save(), 1);
  const std::string lists = U32(1) + Str("U1") + Str("<1@x>") + U32(1) + Str("U2") + Str("");
  EXPECT_EQ(Read("s.svm"), lists);
  box->DeleteFiles();
  for (const char* file : {"s.mbx", "s.flg", "s.cfg", "s_dustbox.mbx"}) {
    EXPECT_FALSE(std::filesystem::exists(Path(file))) << file;
  }
  EXPECT_EQ(Read("s.svm"), lists);
  client.ClearPendingDeletions();
  client.ClearDeletedHere();
  ASSERT_EQ(box->Save(), 1);
  EXPECT_FALSE(std::filesystem::exists(Path("s.svm")));
  // A damaged file keeps what was whole.
  Write("t.svm", U32(2) + Str("U1") + Str("m1") + Str("U2"));
  auto damaged = Load("t");
  std::string messageId;
  EXPECT_EQ(damaged->Client().DeletedHere().Count(), 1u);
  EXPECT_EQ(damaged->Client().DeletedHere().Find("U1", messageId), 1);
  EXPECT_EQ(damaged->Client().PendingDeletions().Count(), 0u);
  EXPECT_TRUE(damaged->Client().ServerListsChanged());
}

class DigestFileTest;
// What happens to a mailbox's files behind the store's back after its digests were saved.
struct Damage {
  const char* name;
  std::function<void(DigestFileTest&, std::string& dig)> apply;
};

class DigestFileTest : public StoreTest, public ::testing::WithParamInterface<Damage> {
 public:
  std::unique_ptr<CMailbox> Open() {
    auto box = Load("drop");
    box->Config().SetServerDeletion(KeepOnServer);
    return box;
  }
  // Saves until each N.dig was written after the clock tick of its message file's last change,
  // which is when it is trusted.
  static void SaveTrusted(CMailbox& box) {
    for (CMailbox* member : {&box, box.Dustbox()}) {
      MessageFileStamp stamp;
      for (int tries = 0; tries < 400; ++tries) {
        member->Save();
        if (StampOfFile(member->MessageFile(), stamp) &&
            ModifiedAfter(member->DigestFile(), stamp)) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
  }
  // Removes the first message, moves the second to the dustbox, or appends one, then puts the
  // old digest files back.
  void BehindTheCache(int change) {
    const std::string main = Read("drop.dig");
    const std::string dustbox = Read("drop_dustbox.dig");
    auto box = Open();
    CMailMessage m = Message(texts[0]);
    ASSERT_EQ(change == 1   ? box->RemoveMessage(1, nullptr)
              : change == 2 ? box->RemoveMessage(2, box->Dustbox())
                            : box->AppendMessage(m),
              change < 3 ? 1 : 4);
    box->Save();
    box->Dustbox()->Save();
    box.reset();
    Write("drop.dig", main);
    Write("drop_dustbox.dig", dustbox);
  }
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
  std::string dig = Read("drop.dig");
  ASSERT_GT(dig.size(), 44u + 16u);
  GetParam().apply(*this, dig);
  const bool damaged = std::string(GetParam().name) != "None";
  reporter.logLines.clear();
  auto box = Open();
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

// The main mailbox's file with its first two messages (of equal length) swapped.
void Swap(DigestFileTest& t, const std::string& name) {
  t.Write(name, t.texts[1] + t.texts[0] + t.texts[3]);
}
INSTANTIATE_TEST_SUITE_P(
    Forms, DigestFileTest,
    ::testing::Values(
        Damage{"None", [](DigestFileTest&, std::string&) {}},
        Damage{"Truncated", [](auto& f, auto& dig) { f.Write("drop.dig", dig.substr(0, 50)); }},
        Damage{"Emptied", [](auto& f, auto&) { f.Write("drop.dig", ""); }},
        Damage{"FlippedDigest", [](auto& f, auto& dig) { dig[65] ^= 1, f.Write("drop.dig", dig); }},
        Damage{"FlippedCrc", [](auto& f, auto& dig) { dig.back() ^= 1, f.Write("drop.dig", dig); }},
        Damage{"OtherMailboxs",
               [](auto& f, auto&) { f.Write("drop.dig", f.Read("drop_dustbox.dig")); }},
        Damage{"Removed", [](auto& f, auto&) { f.BehindTheCache(1); }},
        Damage{"Moved", [](auto& f, auto&) { f.BehindTheCache(2); }},
        Damage{"Appended", [](auto& f, auto&) { f.BehindTheCache(3); }},
        Damage{"RewrittenInPlace", [](auto& f, auto&) { Swap(f, "drop.mbx"); }},
        Damage{"RewrittenByRename",
               [](auto& f, auto&) {
                 Swap(f, "drop.new");
                 std::filesystem::rename(f.Path("drop.new"), f.Path("drop.mbx"));
               }}),
    [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace qm
