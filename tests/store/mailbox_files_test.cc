#include <gtest/gtest.h>

#include <string>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store/md5.h"
#include "store_fixture.h"

namespace qm {
namespace {

using test::StoreTest;

using MailboxFilesTest = StoreTest;

std::string U32(std::uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                     static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
}
std::string U16(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}
std::string Str(const std::string& s) { return static_cast<char>(s.size()) + s; }

TEST_F(MailboxFilesTest, AppendedMessagesAreIndexedAndMarksSavedByteForByte) {
  auto box = CMailbox::CreateMain(Path("inbox"));
  ASSERT_EQ(box->Load(), 1);
  const std::string a = Text("a", "", "line\r\n..dotted");
  const std::string b = Text("b");
  CMailMessage ma = Message(a, "UID-A", VerdictSpam, ReasonUrlHostZone);
  CMailMessage mb = Message(b);
  EXPECT_EQ(box->AppendMessage(ma), 1);
  EXPECT_EQ(box->AppendMessage(mb), 2);
  EXPECT_EQ(box->StoredLength(1), a.size());
  EXPECT_EQ(box->FileLength(), a.size() + b.size());
  EXPECT_EQ(ReadAll(Path("inbox.mbx")), a + b);
  EXPECT_EQ(box->Summary(1).subject, "a");
  EXPECT_EQ(box->Summary(1).verdict, VerdictSpam);

  box->MarkConfigDirty();
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(ReadAll(Path("inbox.flg")), U32(2) + U32(0x64) + Str("UID-A") + U32(0x0C) + Str(""));
  // The default settings and an empty account.
  EXPECT_EQ(ReadAll(Path("inbox.cfg")), Str("") + Str("") + Str("") + Str("") + U32(180) +
                                            U32(100) + U16(0x4609) + U16(0x0001) + Str("") +
                                            U32(110) + Str("") + Str(""));
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.svm")));
}

TEST_F(MailboxFilesTest, SettingsRoundTripWithEveryOptionWordBit) {
  {
    auto box = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(box->Load(), 1);
    CMailboxConfig& config = box->Config();
    config.localUser = "me";
    config.localPassword = "secret";
    config.dustboxUser = "trash";
    config.dustboxPassword = "pw";
    config.timerInterval = 600;
    config.dustboxLimit = 7;
    config.options = 0x000FFFFF;  // every stored bit
    box->Client().account = {"pop.example.jp", 995, "user", "pass", ConnectionSecurity::Plain, ""};
    ASSERT_EQ(box->SaveConfig(), 1);
    const std::string cfg = ReadAll(Path("m.cfg"));
    // Word A has bits 0-14, word B bits 0-6; the exemptions appear in both.
    EXPECT_NE(cfg.find(U32(600) + U32(7) + U16(0x7FFF) + U16(0x007F)), std::string::npos);
  }
  auto again = CMailbox::CreateMain(Path("m"));
  ASSERT_EQ(again->Load(), 1);
  EXPECT_EQ(again->Config().options, 0x000FFFFFu);
  EXPECT_EQ(again->Config().localUser, "me");
  EXPECT_EQ(again->Config().dustboxPassword, "pw");
  EXPECT_EQ(again->Client().account,
            (CRemoteAccount{"pop.example.jp", 995, "user", "pass", ConnectionSecurity::Plain, ""}));
  EXPECT_FALSE(again->ConfigDirty());
}

TEST_F(MailboxFilesTest, SecureConnectionSettingsFollowTheAccount) {
  const std::string plainAccount = Str("pop.example.jp") + U32(110) + Str("user") + Str("pass");
  {
    auto box = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(box->Load(), 1);
    box->Client().account = {"pop.example.jp", 110, "user", "pass", ConnectionSecurity::Plain, ""};
    ASSERT_EQ(box->SaveConfig(), 1);
    // A plain account keeps the file exactly as it always was: it ends with the password.
    const std::string cfg = ReadAll(Path("m.cfg"));
    EXPECT_EQ(cfg.substr(cfg.size() - plainAccount.size()), plainAccount);

    box->Client().account.security = ConnectionSecurity::StartTls;
    box->Client().account.caFile = "/etc/private-ca.pem";
    ASSERT_EQ(box->SaveConfig(), 1);
    EXPECT_EQ(ReadAll(Path("m.cfg")), cfg + "QMS1" + U32(2) + Str("/etc/private-ca.pem"));
  }
  auto again = CMailbox::CreateMain(Path("m"));
  ASSERT_EQ(again->Load(), 1);
  EXPECT_EQ(again->Client().account.security, ConnectionSecurity::StartTls);
  EXPECT_EQ(again->Client().account.caFile, "/etc/private-ca.pem");

  // A damaged block must not quietly turn a secure account into a plain one.
  std::string cfg = ReadAll(Path("m.cfg"));
  WriteAll(Path("m.cfg"), cfg.substr(0, cfg.size() - 3));
  auto damaged = CMailbox::CreateMain(Path("m"));
  ASSERT_EQ(damaged->Load(), 1);
  EXPECT_EQ(damaged->Client().account.server, "");
  WriteAll(Path("m.cfg"), cfg.substr(0, cfg.size() - Str("/etc/private-ca.pem").size() - 4) +
                              U32(7) + Str("/etc/private-ca.pem"));
  auto unknown = CMailbox::CreateMain(Path("m"));
  ASSERT_EQ(unknown->Load(), 1);
  EXPECT_EQ(unknown->Client().account.server, "");
}

TEST_F(MailboxFilesTest, LoginBlockFollowsTheOthersAndOlderFilesKeepTheirBytes) {
  const std::string head = Str("me") + Str("pw") + Str("") + Str("") + U32(180) + U32(100) +
                           U16(0x4609) + U16(0x0001) + Str("outlook.office365.com") + U32(995) +
                           Str("me@outlook.com") + Str("");
  const std::string security = "QMS1" + U32(1) + Str("");
  const std::string login = "QMA1" + U32(1) + Str("oama access me@outlook.com") + Str("");
  // A file written before the login block existed is saved again byte for byte.
  for (const std::string& old : {head, head + security}) {
    WriteAll(Path("m.cfg"), old);
    auto box = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(box->Load(), 1);
    EXPECT_EQ(box->Client().account.auth, AuthMethod::Password);
    box->MarkConfigDirty();
    ASSERT_EQ(box->SaveConfig(), 1);
    EXPECT_EQ(ReadAll(Path("m.cfg")), old);
  }
  {
    auto box = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(box->Load(), 1);
    box->Client().account.auth = AuthMethod::XOAuth2;
    box->Client().account.tokenCommand = "oama access me@outlook.com";
    ASSERT_EQ(box->SaveConfig(), 1);
    EXPECT_EQ(ReadAll(Path("m.cfg")), head + security + login);
  }
  // With or without the security block before it, and with a block of a later version after.
  for (const std::string& bytes : {head + security + login, head + login + "QMZ9xyz"}) {
    WriteAll(Path("m.cfg"), bytes);
    auto again = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(again->Load(), 1);
    EXPECT_EQ(again->Client().account.auth, AuthMethod::XOAuth2);
    EXPECT_EQ(again->Client().account.tokenCommand, "oama access me@outlook.com");
  }
  // A damaged login block is no account at all rather than a password account.
  for (const std::string& bad :
       {head + login.substr(0, login.size() - 2), head + "QMA1" + U32(2) + Str("") + Str("")}) {
    WriteAll(Path("m.cfg"), bad);
    auto damaged = CMailbox::CreateMain(Path("m"));
    ASSERT_EQ(damaged->Load(), 1);
    EXPECT_EQ(damaged->Client().account.server, "");
  }
}

TEST_F(MailboxFilesTest, ExemptionsAreReadFromTheSecondWord) {
  // Word A claims both exemptions, word B neither: B wins.
  WriteAll(Path("m.cfg"), Str("") + Str("") + Str("") + Str("") + U32(180) + U32(100) +
                              U16(0x3000) + U16(0x0002) + Str("h") + U32(110) + Str("u") +
                              Str("p"));
  auto box = CMailbox::CreateMain(Path("m"));
  ASSERT_EQ(box->Load(), 1);
  EXPECT_FALSE(box->Config().Has(CMailboxConfig::KeepFriendOnServer));
  EXPECT_FALSE(box->Config().Has(CMailboxConfig::KeepOtherOnServer));
  EXPECT_EQ(box->Config().GetServerDeletion(), DeleteWhenDustboxed);
}

TEST_F(MailboxFilesTest, FilesWrittenElsewhereLoad) {
  const std::string a = Text("first", "Message-ID: <a@x>\r\n");
  const std::string b = Text("second");
  const std::string c = Text("third", "Message-ID: <c@x>\r\n");
  WriteAll(Path("in.mbx"), a + b + c);
  // Two records for three messages: the third is marked afresh.
  WriteAll(Path("in.flg"), U32(2) + U32(0x03 | (0x7 << 2)) + Str("U1") + U32(0x0C) + Str(""));
  auto box = CMailbox::CreateMain(Path("in"));
  ASSERT_EQ(box->Load(), 1);
  ASSERT_EQ(box->MessageCount(), 3);
  EXPECT_EQ(box->Mark(1).GetVerdict(), VerdictOther);
  EXPECT_TRUE(box->Mark(1).Hidden());
  EXPECT_EQ(box->Mark(3).flags, CMailMark::FreshFlags);
  EXPECT_EQ(box->Summary(3).subject, "third");
  EXPECT_TRUE(box->MarksDirty());
  // A tracked server copy is known to the client with its Message-ID.
  std::string messageId;
  EXPECT_EQ(box->Client().KnownUidls().Find("U1", messageId), 1);
  EXPECT_EQ(messageId, "<a@x>");
}

TEST_F(MailboxFilesTest, MoreRecordsThanMessagesAreDroppedAtTheNextSave) {
  WriteAll(Path("in.mbx"), Text("only"));
  WriteAll(Path("in.flg"),
           U32(3) + U32(0x0E) + Str("") + U32(0x0C) + Str("X") + U32(0x0C) + Str(""));
  auto box = CMailbox::CreateMain(Path("in"));
  ASSERT_EQ(box->Load(), 1);
  EXPECT_EQ(box->Mark(1).flags, 0x0Eu);
  EXPECT_TRUE(box->MarksDirty());
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(ReadAll(Path("in.flg")), U32(1) + U32(0x0E) + Str(""));
}

struct DamagedCase {
  const char* name;
  std::string flg;
  int marksRead;
};

class DamagedMarksTest : public StoreTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedMarksTest, LoadsWhatCanBeReadAndMarksTheRestAfresh) {
  WriteAll(Path("d.mbx"), Text("1") + Text("2"));
  WriteAll(Path("d.flg"), GetParam().flg);
  auto box = CMailbox::CreateMain(Path("d"));
  ASSERT_EQ(box->Load(), 1);
  ASSERT_EQ(box->MessageCount(), 2);
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EQ(box->Mark(n).flags, n <= GetParam().marksRead ? 0x0Fu : CMailMark::FreshFlags) << n;
  }
  EXPECT_TRUE(box->MarksDirty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedMarksTest,
    ::testing::Values(DamagedCase{"Empty", "", 0}, DamagedCase{"ShortCount", "\x02\x00", 0},
                      DamagedCase{"HugeCount", U32(0xFFFFFFFF) + U32(0x0F) + Str(""), 1},
                      DamagedCase{"CutInRecord", U32(2) + U32(0x0F) + Str("") + U32(0x0F), 1},
                      DamagedCase{"HugeStringLength",
                                  U32(2) + U32(0x0F) + Str("") + U32(0x0F) + "\xFF\xFF\xFF" +
                                      U32(0xFFFFFFF0),
                                  1}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MailboxFilesTest, DamagedSettingsGiveTheDefaults) {
  WriteAll(Path("s.cfg"), Str("user") + Str("pw") + "\xFF\xFF\xFF\x10\x00\x00\x00");
  auto box = CMailbox::CreateMain(Path("s"));
  ASSERT_EQ(box->Load(), 1);
  EXPECT_EQ(box->Config(), CMailboxConfig{});
  EXPECT_TRUE(box->ConfigDirty());
  EXPECT_FALSE(reporter.logLines.empty());
}

TEST_F(MailboxFilesTest, AnIncompleteLastMessageIsCutOffAndKept) {
  const std::string a = Text("whole");
  const std::string partial = "Subject: cut\r\n\r\nhalf a bo";
  WriteAll(Path("p.mbx"), a + partial);
  {
    auto box = CMailbox::CreateMain(Path("p"));
    ASSERT_EQ(box->Load(), 1);
    EXPECT_EQ(box->MessageCount(), 1);
    EXPECT_EQ(ReadAll(Path("p.mbx")), a);
    EXPECT_EQ(ReadAll(Path("p.partial")), partial);
    ASSERT_EQ(reporter.logLines.size(), 1u);
    EXPECT_EQ(reporter.logLines[0].rfind("MBX : ", 0), 0u);
    CMailMessage next = Message(Text("next"));
    EXPECT_EQ(box->AppendMessage(next), 2);
  }
  // The next message never merged with the cut-off bytes.
  auto reloaded = CMailbox::CreateMain(Path("p"));
  ASSERT_EQ(reloaded->Load(), 1);
  EXPECT_EQ(reloaded->MessageCount(), 2);
  EXPECT_EQ(reloaded->Summary(2).subject, "next");
}

TEST_F(MailboxFilesTest, AnIncompleteMessageThatCannotBeCutOffRefusesTheMailbox) {
  WriteAll(Path("p.mbx"), Text("whole") + "Subject: cut\r\n");
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Truncate; });
  auto box = CMailbox::CreateMain(Path("p"));
  EXPECT_EQ(box->Load(), 0);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(ReadAll(Path("p.mbx")), Text("whole") + "Subject: cut\r\n");
}

TEST_F(MailboxFilesTest, ScanDoesNotSplitStuffedLinesAndSpansChunks) {
  // Messages large enough to cross the loader's read chunks, with dotted lines inside.
  std::string body;
  for (int i = 0; i < 40000; ++i) body += "..line " + std::to_string(i) + "\r\n";
  const std::string big = Text("big", "", body + "end");
  std::string all;
  for (int i = 0; i < 5; ++i) all += big;
  WriteAll(Path("big.mbx"), all);
  auto box = CMailbox::CreateMain(Path("big"));
  ASSERT_EQ(box->Load(), 1);
  ASSERT_EQ(box->MessageCount(), 5);
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(box->StoredLength(n), big.size());
}

TEST_F(MailboxFilesTest, EmptyMessageFileNeedsNoMarks) {
  auto box = CMailbox::CreateMain(Path("e"));
  ASSERT_EQ(box->Load(), 1);
  EXPECT_EQ(box->MessageCount(), 0);
  EXPECT_TRUE(std::filesystem::exists(Path("e.mbx")));
  EXPECT_TRUE(std::filesystem::exists(Path("e_dustbox.mbx")));
  EXPECT_FALSE(box->MarksDirty());
}

TEST_F(MailboxFilesTest, UnopenableMessageFileOfTheMailboxOrItsDustboxFailsTheLoad) {
  for (const std::string file : {"dir.mbx", "dust_dustbox.mbx"}) {
    std::filesystem::create_directories(Path(file));
    auto box = CMailbox::CreateMain(Path(file.substr(0, file.find_first_of("_."))));
    EXPECT_EQ(box->Load(), 0) << file;
  }
}

TEST_F(MailboxFilesTest, DeleteFilesLeavesTheServerLists) {
  auto box = CMailbox::CreateMain(Path("gone"));
  ASSERT_EQ(box->Load(), 1);
  CMailMessage m = Message(Text("x"), "U");
  box->AppendMessage(m);
  box->MarkConfigDirty();
  box->Client().RegisterKnown("U", "");
  box->Client().ForgetDeleted("U");
  ASSERT_EQ(box->Save(), 1);
  ASSERT_TRUE(std::filesystem::exists(Path("gone.svm")));
  box->DeleteFiles();
  for (const char* file : {"gone.mbx", "gone.flg", "gone.cfg", "gone_dustbox.mbx"}) {
    EXPECT_FALSE(std::filesystem::exists(Path(file))) << file;
  }
  EXPECT_TRUE(std::filesystem::exists(Path("gone.svm")));
}

TEST_F(MailboxFilesTest, ServerListsAreSavedWhenTheyChangeAndRemovedWhenEmpty) {
  auto box = CMailbox::CreateMain(Path("s"));
  ASSERT_EQ(box->Load(), 1);
  CMailboxClient& client = box->Client();
  client.RegisterKnown("U1", "<1@x>");
  client.RegisterKnown("U2", "");
  client.ForgetDeleted("U1");
  client.RequestServerDeletion("U2");
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(ReadAll(Path("s.svm")),
            U32(1) + Str("U1") + Str("<1@x>") + U32(1) + Str("U2") + Str(""));
  client.ClearPendingDeletions();
  client.ClearDeletedHere();
  ASSERT_EQ(box->Save(), 1);
  EXPECT_FALSE(std::filesystem::exists(Path("s.svm")));
}

TEST_F(MailboxFilesTest, DamagedServerListsKeepWhatWasWhole) {
  WriteAll(Path("s.svm"), U32(2) + Str("U1") + Str("m1") + Str("U2"));
  auto box = CMailbox::CreateMain(Path("s"));
  ASSERT_EQ(box->Load(), 1);
  std::string messageId;
  EXPECT_EQ(box->Client().DeletedHere().Count(), 1u);
  EXPECT_EQ(box->Client().DeletedHere().Find("U1", messageId), 1);
  EXPECT_EQ(box->Client().PendingDeletions().Count(), 0u);
  EXPECT_TRUE(box->Client().ServerListsChanged());
}

}  // namespace
}  // namespace qm

namespace qm {
namespace {

struct PortCase {
  ConnectionSecurity security;
  std::uint32_t port;
  std::uint32_t expected;
};

class PortForSecurityTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortForSecurityTest, UsualPortsFollowTheModeOthersStay) {
  EXPECT_EQ(PortForSecurity(GetParam().security, GetParam().port), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Ports, PortForSecurityTest,
                         ::testing::Values(PortCase{ConnectionSecurity::Tls, 110, 995},
                                           PortCase{ConnectionSecurity::Tls, 995, 995},
                                           PortCase{ConnectionSecurity::Tls, 2110, 2110},
                                           PortCase{ConnectionSecurity::Plain, 995, 110},
                                           PortCase{ConnectionSecurity::StartTls, 995, 110},
                                           PortCase{ConnectionSecurity::StartTls, 110, 110},
                                           PortCase{ConnectionSecurity::Plain, 8995, 8995}));

}  // namespace
}  // namespace qm
