// The local server's side of a conversation, fed one byte at a time, byte for byte both ways.
#include "pop3server/pop_session.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store/md5.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

class FakeHost : public IPopSessionHost {
 public:
  void Send(std::string_view bytes) override { sent.append(bytes); }
  void Close() override { ++closes; }
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override {
    index = 0;
    if (user == "taro" && password == "secret") return box;
    return user == "trash" && password == "pw" ? box->Dustbox() : nullptr;
  }
  void LoginFailed() override { ++failures; }
  void LoginAccepted(CMailbox&, int) override { ++accepted; }
  CMailbox* box = nullptr;
  std::string sent;
  int closes = 0, failures = 0, accepted = 0;
};

// The second message is hidden: the maildrop holds the first and the third.
const std::string kText[] = {"Subject: one\r\n\r\nline 1\r\nline 2\r\n..dot\r\n.\r\n",
                             "Subject: hidden\r\n\r\nx\r\n.\r\n",
                             "Subject: three\r\n\r\n3\r\n.\r\n"};
const std::string kSize1 = std::to_string(kText[0].size()),
                  kSize2 = std::to_string(kText[2].size());
const std::string kCapabilities =
    "+OK\r\nTOP\r\nUSER\r\nRESP-CODES\r\nUIDL\r\nIMPLEMENTATION Quillmoor-Mail-Filter\r\n.\r\n";
const std::string kLogin = "USER taro\r\nPASS secret\r\n";

class PopSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReporter(&reporter);
    box = CMailbox::CreateMain(directory.File("inbox"));
    ASSERT_EQ(box->Load(), 1);
    box->Config().SetServerDeletion(KeepOnServer);
    for (const std::string& text : kText) {
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
    SetReporter(nullptr);
  }
  // Feeds the client's bytes one at a time and returns what the server answered.
  std::string Talk(const std::string& client) {
    host.sent.clear();
    for (char c : client) session->Receive(std::string_view(&c, 1));
    return host.sent;
  }

  ScratchDirectory directory;
  test::RecordingReporter reporter;
  std::unique_ptr<CMailbox> box;
  FakeHost host;
  std::unique_ptr<CPopSession> session = std::make_unique<CPopSession>(host);
};

struct Exchange {
  std::string client, server;
};
// The test list names a case by the letters and digits of its commands after the login.
void PrintTo(const Exchange& e, std::ostream* os) {
  for (char c : e.client.substr(e.client.starts_with(kLogin) ? kLogin.size() : 0, 40)) {
    if (std::isalnum(static_cast<unsigned char>(c))) *os << c;
  }
}

class ConversationTest : public PopSessionTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(ConversationTest, RepliesByteForByte) {
  EXPECT_EQ(Talk(GetParam().client), GetParam().server);
}

INSTANTIATE_TEST_SUITE_P(
    Authorization, ConversationTest,
    ::testing::Values(
        Exchange{"PASS secret\r\nUSER\r\nPASS secret\r\n", "-ERR\r\n-ERR\r\n-ERR\r\n"},
        Exchange{"USER taro\r\nUSER\r\nPASS secret\r\n", "+OK\r\n-ERR\r\n-ERR\r\n"},
        // The user name is matched as typed; the command in any case.
        Exchange{"user taro\r\npass secret\r\n", "+OK\r\n+OK\r\n"},
        Exchange{"USER Taro\r\nPASS secret\r\n", "+OK\r\n-ERR\r\n"},
        Exchange{"USER taro\r\nPASS secret x\r\n", "+OK\r\n+OK\r\n"},
        Exchange{"\r\nSTAT\r\nLIST\r\nNOOP\r\n", "-ERR\r\n-ERR\r\n-ERR\r\n"},
        Exchange{"QUIT\r\nNOOP\r\n", "+OK\r\n"},
        // CAPA between USER and PASS leaves the user name given.
        Exchange{"USER taro\r\ncapa\r\nPASS secret\r\n", "+OK\r\n" + kCapabilities + "+OK\r\n"},
        Exchange{"USER " + std::string(600, 'a') + "\r\nNOOP\r\nQUIT\r\n",
                 "-ERR\r\n-ERR\r\n+OK\r\n"}));

INSTANTIATE_TEST_SUITE_P(
    Transaction, ConversationTest,
    ::testing::Values(
        Exchange{kLogin + "STAT\r\nLIST\r\nlist 2\r\n",
                 "+OK\r\n+OK\r\n+OK 2 " + std::to_string(kText[0].size() + kText[2].size()) +
                     "\r\n+OK\r\n1 " + kSize1 + "\r\n2 " + kSize2 + "\r\n.\r\n+OK 2 " + kSize2 +
                     "\r\n"},
        Exchange{
            kLogin +
                "LIST 0\r\nLIST 3\r\nLIST x\r\nUIDL 3\r\nRETR 9\r\nRETR\r\nTOP 1\r\nTOP 3 1\r\n",
            "+OK\r\n+OK\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n"},
        Exchange{kLogin + "UIDL\r\nUIDL 2\r\n", "+OK\r\n+OK\r\n+OK\r\n1 " + Md5Hex(kText[0]) +
                                                    "\r\n2 " + Md5Hex(kText[2]) +
                                                    "\r\n.\r\n+OK 2 " + Md5Hex(kText[2]) + "\r\n"},
        Exchange{kLogin + "RETR 2\r\n", "+OK\r\n+OK\r\n+OK\r\n" + kText[2]},
        // Asked for more lines than there are: the whole message, terminated once.
        Exchange{
            kLogin + "TOP 1 0\r\nTOP 1 1\r\nTOP 1 50\r\n",
            "+OK\r\n+OK\r\n+OK\r\nSubject: one\r\n\r\n\r\n.\r\n+OK\r\nSubject: one\r\n\r\nline "
            "1\r\n\r\n.\r\n+OK\r\n" +
                kText[0]},
        Exchange{kLogin + "DELE 2\r\nDELE 2\r\nSTAT\r\nRETR 2\r\nRSET\r\nSTAT\r\n",
                 "+OK\r\n+OK\r\n+OK\r\n-ERR\r\n+OK 1 " + kSize1 + "\r\n-ERR\r\n+OK\r\n+OK 2 " +
                     std::to_string(kText[0].size() + kText[2].size()) + "\r\n"},
        Exchange{kLogin + "USER taro\r\nPASS secret\r\nAPOP x y\r\nSTLS\r\nCAPA\r\nNOOP\r\n",
                 "+OK\r\n+OK\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n" + kCapabilities + "+OK\r\n"},
        Exchange{"USER trash\r\nPASS pw\r\nSTAT\r\n", "+OK\r\n+OK\r\n+OK 0 0\r\n"}));

TEST_F(PopSessionTest, LoginsAreReportedAndTheMaildropOpened) {
  Talk("USER taro\r\nPASS wrong\r\n");
  EXPECT_EQ(host.failures, 1);
  EXPECT_EQ(Talk("PASS secret\r\n"), "+OK\r\n");  // USER need not be repeated
  EXPECT_EQ(session->State(), 1);
  EXPECT_EQ(host.accepted, 1);
  EXPECT_EQ(box->spamCount.load(), 0u);
  EXPECT_EQ(box->MaildropCount(), 2);
  Talk("RETR 2\r\nDELE 9\r\n");
  EXPECT_EQ(reporter.logLines,
            (std::vector<std::string>{"POP : Autorization failed. ( taro )",
                                      "POP : Autorization success. ( " + box->Name() + " )",
                                      "POP : RETR 2 request received. ",
                                      "POP : DELE request received. Reply : -ERR"}));
}

TEST_F(PopSessionTest, DeletionsApplyAtQuitOnly) {
  Talk(kLogin + "DELE 1\r\nDELE 2\r\n");
  session->End();  // a disconnect without QUIT keeps everything and releases the mailbox
  EXPECT_EQ(box->MessageCount(), 3);
  ASSERT_TRUE(box->storeLock.TryLock());
  box->storeLock.Unlock();

  session = std::make_unique<CPopSession>(host);
  Talk(kLogin + "DELE 1\r\n");
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
  EXPECT_EQ(Talk("QUIT\r\n"), "-ERR some deleted messages not removed\r\n");
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(reporter.logLines.back(),
            "POP : QUIT could not remove the deleted messages. ( " + box->Name() + " )");
  session->End();
  EXPECT_EQ(box->MessageCount(), 3);

  session = std::make_unique<CPopSession>(host);
  EXPECT_EQ(Talk(kLogin + "DELE 1\r\nDELE 2\r\nQUIT\r\nSTAT\r\n"),
            "+OK\r\n+OK\r\n+OK\r\n+OK\r\n+OK\r\n");
  EXPECT_EQ(host.closes, 2);
  session->End();
  ASSERT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(box->Summary(1).subject, "hidden");
}

}  // namespace
}  // namespace qm
