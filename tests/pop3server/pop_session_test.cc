#include "pop3server/pop_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "platform/report.h"
#include "store/mailbox.h"
#include "store/md5.h"

namespace qm {
namespace {

class Recorder : public IReporter {
 public:
  void Log(std::string_view message) override { lines.emplace_back(message); }
  void ShowMessage(std::string_view) override {}
  std::vector<std::string> lines;
};

class FakeHost : public IPopSessionHost {
 public:
  void Send(std::string_view bytes) override { sent.append(bytes); }
  void Close() override { ++closes; }
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override {
    index = 0;
    if (user == "taro" && password == "secret") return box;
    if (user == "trash" && password == "pw") return box->Dustbox();
    return nullptr;
  }
  void LoginFailed() override { ++failures; }
  void LoginAccepted(CMailbox&, int) override { ++accepted; }

  CMailbox* box = nullptr;
  std::string sent;
  int closes = 0;
  int failures = 0;
  int accepted = 0;
};

class PopSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("qm_pop_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    SetReporter(&recorder);
    box = CMailbox::CreateMain((dir / "inbox").string());
    ASSERT_EQ(box->Load(), 1);
    box->Config().SetServerDeletion(KeepOnServer);
    texts = {"Subject: one\r\n\r\nline 1\r\nline 2\r\n..dot\r\n.\r\n",
             "Subject: hidden\r\n\r\nx\r\n.\r\n", "Subject: three\r\n\r\n3\r\n.\r\n"};
    for (const std::string& text : texts) {
      CMailMessage m;
      m.Parse(text);
      ASSERT_GT(box->AppendMessage(m), 0);
    }
    box->SetHidden(2);
    box->spamCount = 4;
    host.box = box.get();
  }
  void TearDown() override {
    session.reset();
    box.reset();
    SetReporter(nullptr);
    std::filesystem::remove_all(dir);
  }

  // Feeds the client's bytes one at a time and returns what the server answered.
  std::string Talk(const std::string& client) {
    host.sent.clear();
    for (char c : client) session->Receive(std::string_view(&c, 1));
    return host.sent;
  }
  std::string Login() { return Talk("USER taro\r\nPASS secret\r\n"); }

  std::filesystem::path dir;
  Recorder recorder;
  std::unique_ptr<CMailbox> box;
  std::vector<std::string> texts;
  FakeHost host;
  std::unique_ptr<CPopSession> session = std::make_unique<CPopSession>(host);
};

// Written out here rather than taken from the server, so that a change to it shows.
const std::string kCapabilities =
    "+OK\r\nTOP\r\nUSER\r\nRESP-CODES\r\nUIDL\r\nIMPLEMENTATION Quillmoor-Mail-Filter\r\n.\r\n";

struct Exchange {
  const char* name;
  std::string client;
  std::string server;
};

class AuthorizationTest : public PopSessionTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(AuthorizationTest, RepliesByteForByte) {
  EXPECT_EQ(Talk(GetParam().client), GetParam().server);
}

INSTANTIATE_TEST_SUITE_P(
    Conversations, AuthorizationTest,
    ::testing::Values(
        Exchange{"PassBeforeUser", "PASS secret\r\n", "-ERR\r\n"},
        Exchange{"UserWithoutName", "USER\r\nPASS secret\r\n", "-ERR\r\n-ERR\r\n"},
        Exchange{"UserWithoutNameAfterUser", "USER taro\r\nUSER\r\nPASS secret\r\n",
                 "+OK\r\n-ERR\r\n-ERR\r\n"},
        Exchange{"WrongPassword", "USER taro\r\nPASS nope\r\n", "+OK\r\n-ERR\r\n"},
        // The user name is matched as typed; the command in any case.
        Exchange{"LowerCaseCommands", "user taro\r\npass secret\r\n", "+OK\r\n+OK\r\n"},
        Exchange{"NameIsCaseSensitive", "USER Taro\r\nPASS secret\r\n", "+OK\r\n-ERR\r\n"},
        Exchange{"TransactionCommandsRefused", "STAT\r\nLIST\r\nNOOP\r\n",
                 "-ERR\r\n-ERR\r\n-ERR\r\n"},
        Exchange{"EmptyLinesUnanswered", "\r\n\r\nNOOP\r\n", "-ERR\r\n"},
        Exchange{"PasswordWithBlankCannotMatch", "USER taro\r\nPASS secret x\r\n",
                 "+OK\r\n+OK\r\n"},
        Exchange{"QuitEndsAndNothingAfterIsAnswered", "QUIT\r\nNOOP\r\n", "+OK\r\n"},
        Exchange{"CapabilitiesBeforeUser", "capa\r\n", kCapabilities},
        // CAPA between USER and PASS leaves the user name given.
        Exchange{"CapabilitiesAfterUser", "USER taro\r\nCAPA\r\nPASS secret\r\n",
                 "+OK\r\n" + kCapabilities + "+OK\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(PopSessionTest, SuccessfulLoginOpensTheMaildropAndResetsCounters) {
  EXPECT_EQ(Login(), "+OK\r\n+OK\r\n");
  EXPECT_EQ(session->State(), 1);
  EXPECT_EQ(host.accepted, 1);
  EXPECT_EQ(box->spamCount.load(), 0u);
  EXPECT_EQ(box->MaildropCount(), 2);
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{"POP : Autorization success. ( " + box->Name() + " )"}));
}

TEST_F(PopSessionTest, AFailedLoginIsLoggedAndReportedToTheHost) {
  Talk("USER taro\r\nPASS wrong\r\n");
  EXPECT_EQ(host.failures, 1);
  EXPECT_EQ(recorder.lines, (std::vector<std::string>{"POP : Autorization failed. ( taro )"}));
  // USER need not be repeated.
  EXPECT_EQ(Talk("PASS secret\r\n"), "+OK\r\n");
}

TEST_F(PopSessionTest, HiddenMessagesAreNeitherCountedNorListed) {
  Login();
  const std::string one = std::to_string(texts[0].size());
  const std::string three = std::to_string(texts[2].size());
  const std::string total = std::to_string(texts[0].size() + texts[2].size());
  EXPECT_EQ(Talk("STAT\r\n"), "+OK 2 " + total + "\r\n");
  EXPECT_EQ(Talk("LIST\r\n"), "+OK\r\n1 " + one + "\r\n2 " + three + "\r\n.\r\n");
  EXPECT_EQ(Talk("list 2\r\n"), "+OK 2 " + three + "\r\n");
  EXPECT_EQ(Talk("LIST 0\r\nLIST 3\r\nLIST x\r\n"), "-ERR\r\n-ERR\r\n-ERR\r\n");
  EXPECT_EQ(Talk("UIDL\r\n"),
            "+OK\r\n1 " + Md5Hex(texts[0]) + "\r\n2 " + Md5Hex(texts[2]) + "\r\n.\r\n");
  EXPECT_EQ(Talk("UIDL 2\r\n"), "+OK 2 " + Md5Hex(texts[2]) + "\r\n");
  EXPECT_EQ(Talk("UIDL 3\r\n"), "-ERR\r\n");
}

TEST_F(PopSessionTest, RetrieveSendsTheStoredBytes) {
  Login();
  recorder.lines.clear();
  EXPECT_EQ(Talk("RETR 2\r\n"), "+OK\r\n" + texts[2]);
  EXPECT_EQ(Talk("RETR 9\r\nRETR\r\n"), "-ERR\r\n-ERR\r\n");
  EXPECT_EQ(recorder.lines, (std::vector<std::string>{"POP : RETR 2 request received. ",
                                                      "POP : RETR 9 request received. ",
                                                      "POP : RETR  request received. "}));
}

TEST_F(PopSessionTest, TopSendsHeaderAndLines) {
  Login();
  EXPECT_EQ(Talk("TOP 1 0\r\n"), "+OK\r\nSubject: one\r\n\r\n\r\n.\r\n");
  EXPECT_EQ(Talk("TOP 1 1\r\n"), "+OK\r\nSubject: one\r\n\r\nline 1\r\n\r\n.\r\n");
  // Asked for more lines than there are: the whole message, terminated once.
  EXPECT_EQ(Talk("TOP 1 50\r\n"), "+OK\r\n" + texts[0]);
  EXPECT_EQ(Talk("TOP 1\r\n"), "-ERR\r\n");
  EXPECT_EQ(Talk("TOP 3 1\r\n"), "-ERR\r\n");
}

TEST_F(PopSessionTest, DeletionsApplyAtQuitHighestFirst) {
  Login();
  recorder.lines.clear();
  EXPECT_EQ(Talk("DELE 2\r\nDELE 2\r\n"), "+OK\r\n-ERR\r\n");
  EXPECT_EQ(Talk("STAT\r\n"), "+OK 1 " + std::to_string(texts[0].size()) + "\r\n");
  EXPECT_EQ(Talk("RETR 2\r\n"), "-ERR\r\n");
  EXPECT_EQ(Talk("RSET\r\nSTAT\r\n").substr(0, 11), "+OK\r\n+OK 2 ");
  EXPECT_EQ(Talk("DELE 1\r\nDELE 2\r\nNOOP\r\nQUIT\r\nSTAT\r\n"), "+OK\r\n+OK\r\n+OK\r\n+OK\r\n");
  EXPECT_EQ(host.closes, 1);
  EXPECT_EQ(recorder.lines[0], "POP : DELE request received. Reply : +OK");
  EXPECT_EQ(recorder.lines[1], "POP : DELE request received. Reply : -ERR");
  session->End();
  ASSERT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(box->Summary(1).subject, "hidden");
}

TEST_F(PopSessionTest, AQuitWhoseDeletionsFailSaysSoAndKeepsEverything) {
  Login();
  Talk("DELE 1\r\n");
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
  EXPECT_EQ(Talk("QUIT\r\n"), "-ERR some deleted messages not removed\r\n");
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(host.closes, 1);
  EXPECT_EQ(recorder.lines.back(),
            "POP : QUIT could not remove the deleted messages. ( " + box->Name() + " )");
  session->End();
  EXPECT_EQ(box->MessageCount(), 3);
}

TEST_F(PopSessionTest, DisconnectWithoutQuitKeepsEverythingAndReleasesTheMailbox) {
  Login();
  Talk("DELE 1\r\nDELE 2\r\n");
  session->End();
  EXPECT_EQ(box->MessageCount(), 3);
  // Released: another connection can open the maildrop from this thread or any other.
  EXPECT_TRUE(box->storeLock.TryLock());
  box->storeLock.Unlock();
}

TEST_F(PopSessionTest, TheDustboxAccountServesTheDustbox) {
  EXPECT_EQ(Talk("USER trash\r\nPASS pw\r\nSTAT\r\n"), "+OK\r\n+OK\r\n+OK 0 0\r\n");
  EXPECT_EQ(session->Mailbox(), box->Dustbox());
}

TEST_F(PopSessionTest, OverlongLinesGetAnErrorAndTheSessionGoesOn) {
  EXPECT_EQ(Talk("USER " + std::string(600, 'a') + "\r\nNOOP\r\nQUIT\r\n"),
            "-ERR\r\n-ERR\r\n+OK\r\n");
}

TEST_F(PopSessionTest, UnknownAndMisplacedCommandsAndCapabilitiesAfterLogin) {
  Login();
  EXPECT_EQ(Talk("USER taro\r\nPASS secret\r\nAPOP x y\r\nSTLS\r\nCAPA\r\nNOOP\r\n"),
            "-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n" + kCapabilities + "+OK\r\n");
  // Only the login was logged.
  EXPECT_EQ(recorder.lines.size(), 1u);
}

}  // namespace
}  // namespace qm
