// The local server's side of a conversation, fed one byte at a time, byte for byte both ways.
#include "pop3server/pop_session.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_io.h"
#include "pop3server/line_splitter.h"
#include "store/mailbox.h"
#include "store/md5.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

// Megabytes without a line end cost bounded memory; the session's tests feed lines byte by byte.
TEST(LineSplitterTest, AnEndlessLineIsNotKept) {
  CLineSplitter splitter;
  splitter.Feed(std::string(4 << 20, 'z'), [](std::string_view, bool) { ADD_FAILURE(); });
  EXPECT_LE(splitter.Pending(), CLineSplitter::kMaxLine + 1);
}

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
                  kSize2 = std::to_string(kText[2].size()),
                  kTotal = std::to_string(kText[0].size() + kText[2].size());
const std::string kCapa =
    "+OK\r\nTOP\r\nUSER\r\nRESP-CODES\r\nUIDL\r\nIMPLEMENTATION Quillmoor-Mail-Filter\r\n.\r\n";
const std::string kLogin = "USER taro\r\nPASS secret\r\n", kIn = "+OK\r\n+OK\r\n";
constexpr std::size_t kMaxLine = CLineSplitter::kMaxLine;

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
  void TearDown() override { SetReporter(nullptr); }
  std::string Talk(const std::string& client) {
    host.sent.clear();
    for (char c : client) session->Receive(std::string_view(&c, 1));
    return host.sent;
  }
  ScratchDirectory directory;
  test::RecordingReporter reporter;
  std::unique_ptr<CMailbox> box;
  FakeHost host;
  std::unique_ptr<CPopSession> session;
};

TEST_F(PopSessionTest, RepliesByteForByte) {
  const std::pair<std::string, std::string> kCases[] = {
      {"PASS secret\r\nUSER\r\nPASS secret\r\n", "-ERR\r\n-ERR\r\n-ERR\r\n"},
      {"USER taro\r\nUSER\r\nPASS secret\r\n", "+OK\r\n-ERR\r\n-ERR\r\n"},
      {"user taro\r\npass secret x\r\n", kIn},
      {"USER Taro\r\nPASS secret\r\n", "+OK\r\n-ERR\r\n"},
      {"\r\nSTAT\r\nLIST\r\nNOOP\r\n", "-ERR\r\n-ERR\r\n-ERR\r\n"},
      {"QUIT\r\nNOOP\r\n", "+OK\r\n"},
      {"USER taro\r\ncapa\r\nPASS secret\r\n", "+OK\r\n" + kCapa + "+OK\r\n"},
      // Lines end at CR LF only, and the longest is kept whole; one byte more is refused.
      {"USER a\nb\rc\r\r\nNOOP\r\n", "+OK\r\n-ERR\r\n"},
      {"USER " + std::string(kMaxLine - 5, 'a') + "\r\n", "+OK\r\n"},
      {"USER " + std::string(kMaxLine - 4, 'a') + "\r\nNOOP\r\nQUIT\r\n",
       "-ERR\r\n-ERR\r\n+OK\r\n"},
      // Words part at a space, then spaces and tabs; only the first is upper-cased; NUL ends lines.
      {kLogin + " STAT\r\nSTAT\tx\r\nlist  \t2\r\nnoop\0x\r\n"s,
       kIn + "-ERR\r\n-ERR\r\n+OK 2 " + kSize2 + "\r\n+OK\r\n"},
      {kLogin + "LIST 0\r\nLIST 3\r\nLIST x\r\nUIDL 3\r\nRETR 9\r\nRETR\r\nTOP 1\r\nTOP 3 1\r\n",
       kIn + "-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n"},
      {kLogin + "RETR 2\r\nUIDL 2\r\n",
       kIn + "+OK\r\n" + kText[2] + "+OK 2 " + Md5Hex(kText[2]) + "\r\n"},
      // More lines asked for than there are: the whole message, terminated once.
      {kLogin + "TOP 1 0\r\nTOP 1 1\r\nTOP 1 50\r\n",
       kIn +
           "+OK\r\nSubject: one\r\n\r\n\r\n.\r\n+OK\r\nSubject: one\r\n\r\nline "
           "1\r\n\r\n.\r\n+OK\r\n" +
           kText[0]},
      {kLogin + "DELE 2\r\nDELE 2\r\nSTAT\r\nRETR 2\r\nRSET\r\nSTAT\r\n",
       kIn + "+OK\r\n-ERR\r\n+OK 1 " + kSize1 + "\r\n-ERR\r\n+OK\r\n+OK 2 " + kTotal + "\r\n"},
      {kLogin + kLogin + "APOP x y\r\nSTLS\r\nCAPA\r\nNOOP\r\n",
       kIn + "-ERR\r\n-ERR\r\n-ERR\r\n-ERR\r\n" + kCapa + "+OK\r\n"},
      {"USER trash\r\nPASS pw\r\nSTAT\r\n", kIn + "+OK 0 0\r\n"}};
  for (const auto& [client, server] : kCases) {
    session = std::make_unique<CPopSession>(host);
    EXPECT_EQ(Talk(client), server) << client;
    session->End();
  }
  EXPECT_EQ(box->MessageCount(), 3);
}

TEST_F(PopSessionTest, LoginsAreReportedAndDeletionsApplyAtQuitOnly) {
  session = std::make_unique<CPopSession>(host);
  Talk("USER taro\r\nPASS wrong\r\n");
  EXPECT_EQ(Talk("PASS secret\r\n"), "+OK\r\n");  // USER need not be repeated
  EXPECT_EQ(std::tuple(host.failures, host.accepted, box->spamCount.load(), box->MaildropCount()),
            std::tuple(1, 1, 0u, 2));
  Talk("RETR 2\r\nDELE 9\r\nDELE 1\r\nDELE 2\r\n");
  session->End();  // a disconnect without QUIT keeps everything and releases the mailbox
  session = std::make_unique<CPopSession>(host);
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Rename; });
  EXPECT_EQ(Talk(kLogin + "DELE 1\r\nQUIT\r\n"),
            kIn + "+OK\r\n-ERR some deleted messages not removed\r\n");
  SetFileFaultInjector(nullptr);
  session->End();
  EXPECT_EQ(box->MessageCount(), 3);
  session = std::make_unique<CPopSession>(host);
  EXPECT_EQ(Talk(kLogin + "DELE 1\r\nDELE 2\r\nQUIT\r\nSTAT\r\n"), kIn + "+OK\r\n+OK\r\n+OK\r\n");
  EXPECT_EQ(host.closes, 2);
  session->End();
  ASSERT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(box->Summary(1).subject, "hidden");
  EXPECT_EQ(
      Lines(reporter.logLines.begin(), reporter.logLines.begin() + 4),
      (Lines{"POP : Autorization failed. ( taro )",
             "POP : Autorization success. ( " + box->Name() + " )",
             "POP : RETR 2 request received. ", "POP : DELE request received. Reply : -ERR"}));
}

}  // namespace
}  // namespace qm
