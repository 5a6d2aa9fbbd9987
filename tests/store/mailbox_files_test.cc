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
}

// Saves until each digest file was written after the clock tick of its message file's last
// change, which is when it is trusted.
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

// Every UIDL is the digest of the message's bytes. `cachedOnly`: listed while no file can be
// opened, so every digest must come from the saved ones.
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

// Digests are saved and trusted at the next start; a damaged or stale file (message files
// changed behind the store's back) is noticed and never gives a wrong digest.
TEST_F(MailboxFilesTest, AStaleOrDamagedDigestFileNeverGivesAWrongDigest) {
  const std::string a = Text("aaa"), b = Text("bbb"), c = Text("ccc", "another body");
  for (int damage = 0; damage < 6; ++damage) {
    SCOPED_TRACE(damage);
    const std::string name = "drop" + std::to_string(damage);
    {
      auto box = Load(name);
      box->Config().SetServerDeletion(KeepOnServer);
      for (const std::string& text : {a, b, c, a}) {
        CMailMessage m = Message(text);
        ASSERT_GT(box->AppendMessage(m), 0);
      }
      ASSERT_EQ(box->RemoveMessage(3, box->Dustbox()), 1);
      SaveTrusted(*box);
    }
    std::string dig = Read(name + ".dig");
    if (damage == 1) Write(name + ".dig", dig.substr(0, 50));
    if (damage == 2) dig[65] ^= 1, Write(name + ".dig", dig);
    if (damage == 3) Write(name + ".dig", Read(name + "_dustbox.dig"));
    if (damage == 4) Write(name + ".mbx", b + a + a);  // rewritten in place, offsets unchanged
    if (damage == 5)
      Write(name + ".new", b + a + a), fs::rename(Path(name + ".new"), Path(name + ".mbx"));
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

}  // namespace
}  // namespace qm
