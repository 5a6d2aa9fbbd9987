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
namespace fs = std::filesystem;

std::string U32(std::uint32_t v) { return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string U16(std::uint16_t v) { return {char(v), char(v >> 8)}; }
std::string Str(const std::string& s) { return static_cast<char>(s.size()) + s; }
const std::string kFresh = U32(0x0C) + Str("");
// Local users and passwords, interval, dustbox limit and the two option words, as defaults.
const std::string kDefaults =
    Str("") + Str("") + Str("") + Str("") + U32(180) + U32(100) + U16(0x4609) + U16(0x0001);

TEST_F(MailboxFilesTest, MessagesMarksAndSettingsAreSavedByteForByteAndReadBack) {
  const std::string a = Text("a", "line\r\n..dotted"), b = Text("b");
  {
    auto box = Load("inbox");
    CMailMessage ma = Message(a, "UID-A", VerdictSpam, ReasonUrlHostZone), mb = Message(b);
    EXPECT_EQ(box->AppendMessage(ma) * 10 + box->AppendMessage(mb), 12);
    EXPECT_EQ(Read("inbox.mbx"), a + b);
    box->MarkConfigDirty();
    ASSERT_EQ(box->Save(), 1);
    EXPECT_EQ(Read("inbox.flg"), U32(2) + U32(0x64) + Str("UID-A") + kFresh);
    EXPECT_EQ(Read("inbox.cfg"), kDefaults + Str("") + U32(110) + Str("") + Str(""));
    EXPECT_FALSE(fs::exists(Path("inbox.svm")));
  }
  CRemoteAccount account;
  account.server = "pop.example.jp", account.security = ConnectionSecurity::StartTls;
  account.caFile = "/ca.pem", account.auth = AuthMethod::XOAuth2, account.tokenCommand = "oama x";
  {
    auto box = Load("inbox");
    EXPECT_EQ(box->StoredLength(1) == a.size() && box->Summary(2).subject == "b", true);
    CMailboxConfig& config = box->Config();
    config.localUser = "me", config.dustboxPassword = "pw", config.timerInterval = 600,
    config.dustboxLimit = 7;
    config.options = 0x000FFFFF;  // every stored bit
    box->Client().account = account;
    ASSERT_EQ(box->SaveConfig(), 1);
    // Word A has bits 0-14, word B bits 0-6; the exemptions appear in both.
    EXPECT_NE(Read("inbox.cfg").find(U32(600) + U32(7) + U16(0x7FFF) + U16(0x007F)),
              std::string::npos);
  }
  auto again = Load("inbox");
  const CMailboxConfig& config = again->Config();
  EXPECT_TRUE(config.options == 0x000FFFFFu && config.localUser == "me" &&
              config.dustboxPassword == "pw" && !again->ConfigDirty());
  EXPECT_EQ(again->Client().account, account);
  // The exemptions are read from word B alone.
  Write("m.cfg", kDefaults.substr(0, kDefaults.size() - 4) + U16(0x3000) + U16(0x0002) + Str("h") +
                     U32(110) + Str("u") + Str("p"));
  auto box = Load("m");
  EXPECT_FALSE(box->Config().Has(CMailboxConfig::KeepFriendOnServer) ||
               box->Config().Has(CMailboxConfig::KeepOtherOnServer));
  EXPECT_EQ(box->Config().GetServerDeletion(), DeleteWhenDustboxed);
}

// Settings files of older versions keep their bytes; a damaged one gives the defaults rather
// than, say, a plain account for a secure one or a password account for a token one.
const std::string kHead = Str("me") + Str("pw") + Str("") + Str("") + U32(180) + U32(100) +
                          U16(0x4609) + U16(0x0001) + Str("pop.example.com") + U32(995) +
                          Str("me@example.com") + Str("");
const std::string kSecurity = "QMS1" + U32(1) + Str(""),
                  kLogin = "QMA1" + U32(1) + Str("oama access me@example.com") + Str("");
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
    EXPECT_TRUE(box->Config() == CMailboxConfig{} && box->Client().account == CRemoteAccount{});
    return;
  }
  EXPECT_EQ(box->Client().account.server + (box->Client().account.auth == c.auth ? "" : " auth?"),
            "pop.example.com");
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
// save writes one record a message. A tracked server copy is known with its Message-ID.
class MarksFileTest : public StoreTest,
                      public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(MarksFileTest, LoadsWhatCanBeReadAndMarksTheRestAfresh) {
  const auto& [flg, saved] = GetParam();
  Write("d.mbx", "Message-ID: <1@x>\r\n" + Text("1") + Text("2"));
  Write("d.flg", flg);
  auto box = Load("d");
  ASSERT_TRUE(box->MessageCount() == 2 && box->MarksDirty());
  std::string messageId;
  EXPECT_EQ(box->Client().KnownUidls().Find("U1", messageId) == 1 && messageId == "<1@x>",
            saved.find("U1") != std::string::npos);
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(Read("d.flg"), saved);
}

const std::string kOneRecord = U32(2) + U32(0x0F) + Str("") + kFresh;
INSTANTIATE_TEST_SUITE_P(
    Files, MarksFileTest,
    ::testing::Values(
        std::pair{std::string(), U32(2) + kFresh + kFresh},
        std::pair{std::string("\x02\x00", 2), U32(2) + kFresh + kFresh},
        std::pair{U32(0xFFFFFFFF) + U32(0x0F) + Str(""), kOneRecord},
        std::pair{U32(2) + U32(0x0F) + Str("") + U32(0x0F), kOneRecord},
        std::pair{U32(2) + U32(0x0F) + Str("") + U32(0x0F) + "\xFF\xFF\xFF" + U32(0xFFFFFFF0),
                  kOneRecord},
        std::pair{U32(1) + U32(0x1F) + Str("U1"), U32(2) + U32(0x1F) + Str("U1") + kFresh},
        std::pair{U32(3) + U32(0x0E) + Str("") + U32(0x0C) + Str("X") + kFresh,
                  U32(2) + U32(0x0E) + Str("") + U32(0x0C) + Str("X")}));

TEST_F(MailboxFilesTest, DamagedOrMissingMessageFiles) {
  // An incomplete last message is cut off and kept aside; the next message never merges with it.
  const std::string partial = "Subject: cut\r\n\r\nhalf a bo";
  Write("p.mbx", Text("whole") + partial);
  {
    auto box = Load("p");
    EXPECT_EQ(Read("p.mbx") + "|" + Read("p.partial"), Text("whole") + "|" + partial);
    ASSERT_EQ(reporter.logLines.size(), 1u);
    EXPECT_EQ(reporter.logLines[0].rfind("MBX : ", 0), 0u);
    CMailMessage next = Message(Text("next"));
    EXPECT_EQ(box->AppendMessage(next), 2);
  }
  EXPECT_EQ(Load("p")->Summary(2).subject, "next");
  // Where the cut itself fails, the mailbox is refused and its file left alone.
  Write("q.mbx", Text("whole") + "Subject: cut\r\n");
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Truncate; });
  EXPECT_EQ(CMailbox::CreateMain(Path("q"))->Load(), 0);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(Read("q.mbx"), Text("whole") + "Subject: cut\r\n");
  // Messages crossing the loader's read chunks, with dotted lines, are not split.
  std::string body;
  for (int i = 0; i < 40000; ++i) body += "..line " + std::to_string(i) + "\r\n";
  const std::string big = Text("big", body);
  Write("big.mbx", big + big + big);
  auto box = Load("big");
  ASSERT_EQ(box->MessageCount(), 3);
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(box->StoredLength(n), big.size());
  // Missing files are made; one that cannot be opened fails the load.
  EXPECT_TRUE(Load("e")->MessageCount() == 0 && fs::exists(Path("e_dustbox.mbx")));
  for (const std::string file : {"dir.mbx", "dust_dustbox.mbx"}) {
    fs::create_directories(Path(file));
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
  for (const char* file : {"s.mbx", "s.flg", "s.cfg", "s_dustbox.mbx"})
    EXPECT_FALSE(fs::exists(Path(file))) << file;
  EXPECT_EQ(Read("s.svm"), lists);
  client.ClearPendingDeletions();
  client.ClearDeletedHere();
  ASSERT_EQ(box->Save(), 1);
  EXPECT_FALSE(fs::exists(Path("s.svm")));
  // A damaged file keeps what was whole.
  Write("t.svm", U32(2) + Str("U1") + Str("m1") + Str("U2"));
  auto damaged = Load("t");
  std::string messageId;
  EXPECT_EQ(damaged->Client().DeletedHere().Find("U1", messageId), 1);
  EXPECT_EQ(
      damaged->Client().DeletedHere().Count() * 10 + damaged->Client().PendingDeletions().Count(),
      10u);
  EXPECT_TRUE(damaged->Client().ServerListsChanged());
}

// What happens to a mailbox's files behind the store's back after its digests were saved.
class DigestFileTest : public StoreTest, public ::testing::WithParamInterface<int> {
 public:
  std::unique_ptr<CMailbox> Open() {
    auto box = Load("drop");
    box->Config().SetServerDeletion(KeepOnServer);
    return box;
  }
  // Saves until each digest file was written after the clock tick of its message file's last
  // change, which is when it is trusted.
  static void SaveTrusted(CMailbox& box) {
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
  // Every UIDL is the digest of the message's bytes. `cachedOnly`: listed while no file can be
  // opened, so every digest must already be known.
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
  // The first two and the last have one length, so that swapping keeps every offset.
  std::vector<std::string> texts = {Text("aaa"), Text("bbb"), Text("ccc", "another body"),
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
  const int damage = GetParam();
  if (damage == 1) Write("drop.dig", dig.substr(0, 50));
  if (damage == 2) Write("drop.dig", "");
  if (damage == 3 || damage == 4) (damage == 3 ? dig[65] : dig.back()) ^= 1, Write("drop.dig", dig);
  if (damage == 5) Write("drop.dig", Read("drop_dustbox.dig"));
  if (damage >= 6 && damage <= 8) {  // removed, moved to the dustbox, appended; old digests back
    const std::string dustboxDig = Read("drop_dustbox.dig");
    auto box = Open();
    CMailMessage m = Message(texts[0]);
    ASSERT_EQ(damage == 6   ? box->RemoveMessage(1, nullptr)
              : damage == 7 ? box->RemoveMessage(2, box->Dustbox())
                            : box->AppendMessage(m),
              damage < 8 ? 1 : 4);
    box->Save();
    box->Dustbox()->Save();
    box.reset();
    Write("drop.dig", dig);
    Write("drop_dustbox.dig", dustboxDig);
  }
  // Rewritten in place or by a rename, the first two messages swapped.
  if (damage >= 9) Write(damage == 9 ? "drop.mbx" : "drop.new", texts[1] + texts[0] + texts[3]);
  if (damage == 10) fs::rename(Path("drop.new"), Path("drop.mbx"));
  reporter.logLines.clear();
  auto box = Open();
  EXPECT_EQ(std::any_of(reporter.logLines.begin(), reporter.logLines.end(),
                        [](const std::string& line) {
                          return line.find("drop.dig ) does not match") != std::string::npos;
                        }),
            damage != 0);
  for (CMailbox* member : {box.get(), box->Dustbox()}) ExpectTrueDigests(*member, damage == 0);
  if (damage == 0) return;
  // Digests computed afresh are saved for the next start.
  SaveTrusted(*box);
  box.reset();
  box = Open();
  ExpectTrueDigests(*box, true);
}

INSTANTIATE_TEST_SUITE_P(Forms, DigestFileTest, ::testing::Range(0, 11));

}  // namespace
}  // namespace qm
