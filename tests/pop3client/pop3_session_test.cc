// The session's conversation with a server, byte for byte in both directions.
#include "pop3client/pop3_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/recording_reporter.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

using Lines = std::vector<std::string>;

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    SetReporter(&reporter);
    session.SetAccount("h", 1100, "u", "p");
  }
  ~SessionTest() override { SetReporter(nullptr); }

  std::shared_ptr<test::FakePop3Server> server = std::make_shared<test::FakePop3Server>();
  test::RecordingReporter reporter;
  CPop3Session session{std::make_unique<test::FakeStream>(server)};
};

TEST_F(SessionTest, LogsInWithUserAndPass) {
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\n");
  EXPECT_EQ(session.GetState(), CPop3Session::kLoggedInState);
  EXPECT_EQ(reporter.statusTexts, (Lines{"接続中 ( h )", "認証中 ( h )"}));
  EXPECT_EQ(session.Close(), 0);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nQUIT\r\n");
  EXPECT_EQ(reporter.logLines,
            (Lines{"MSV : Connect to h:1100 ( u )", "MSV : Authorization successful. ( u on h )",
                   "MSV : Close connection to h."}));
}

constexpr int kIn = CPop3Session::kLoggedIn, kBad = CPop3Session::kBadGreeting,
              kRefused = CPop3Session::kLoginRefused, kNotSecured = CPop3Session::kNotSecured;

TEST_F(SessionTest, OnlyAGreetingWhoseFirstTokenIsExactlyPlusOkIsPositive) {
  for (auto [greeting, open] : {std::pair{"+OK\r\n", kIn},
                                {"+OK <1.2@x>\r\n", kIn},
                                {"+OK.\r\n", kBad},
                                {"+ok\r\n", kBad},
                                {"-ERR busy\r\n", kBad},
                                {"", kBad},
                                {"+OK\0\r\n", kBad}}) {
    SCOPED_TRACE(greeting);
    server->greeting = greeting;
    server->chunk = 1;
    server->sent.clear();
    EXPECT_EQ(session.Open(), open);
    session.Close();
    EXPECT_EQ(server->sent,
              open == kIn ? "USER u\r\nPASS p\r\nQUIT\r\n" : "");  // no QUIT unless greeted
    EXPECT_FALSE(server->connected);
  }
}

// A refused login ends with QUIT; a refused or doubtful STLS before anything secret went out.
TEST_F(SessionTest, RefusalsEndTheLogin) {
  const struct {
    const char *user, *password, *stls;
    int open;
    const char *sent, *log;
  } kCases[] = {{"x", "p", nullptr, kRefused, "USER u\r\nQUIT\r\n", "User u fails to login. ( h )"},
                {"u", "x", nullptr, kRefused, "USER u\r\nPASS p\r\nQUIT\r\n",
                 "Password for u is not incorrect. ( h )"},
                {"u", "p", "-ERR\r\n", kNotSecured, "STLS\r\nQUIT\r\n", "h does not offer STLS."},
                // Whatever follows the reply in the same read came in clear text and may be forged.
                {"u", "p", "+OK go\r\n+OK forged\r\n", kNotSecured, "STLS\r\n",
                 "Secure connection to h failed. ( the server sent data before the handshake )"}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.log);
    server->user = c.user;
    server->password = c.password;
    if (c.stls) server->replies["STLS"] = c.stls;
    server->sent.clear();
    reporter.logLines.clear();
    session.account.security = c.stls ? ConnectionSecurity::StartTls : ConnectionSecurity::Plain;
    EXPECT_EQ(session.Open(), c.open);
    EXPECT_EQ(server->sent, c.sent);
    EXPECT_EQ(reporter.logLines.at(1), std::string("MSV : ") + c.log);
    EXPECT_FALSE(server->connected);
    EXPECT_EQ(session.GetState(), CPop3Session::kClosed);
  }
  EXPECT_EQ(reporter.statusTexts.back(), "暗号化接続に失敗しました ( h )");
}

constexpr char kSasl[] =
    "user=u\x01"
    "auth=Bearer tok\x01\x01";
constexpr char kSaslWire[] = "dXNlcj11AWF1dGg9QmVhcmVyIHRvawEB";

// The XOAUTH2 dialogue, byte for byte both ways, whole and one byte at a time; never USER.
TEST_F(SessionTest, XOAuth2Dialogue) {
  const std::string auth = std::string("AUTH XOAUTH2\r\n") + kSaslWire + "\r\n";
  const struct {
    const char *accepted, *after;  // the SASL string the server takes; its answer to it, if set
    int open;
    std::string sent, delivered, log;
  } kCases[] = {
      {kSasl, nullptr, kIn, auth, "+ \r\n+OK in\r\n", "Authorization successful. ( u on h )"},
      {"other", nullptr, kRefused, auth + "\r\nQUIT\r\n",
       "+ \r\n+ eyJzdGF0dXMiOiI0MDEifQ==\r\n-ERR [AUTH] Invalid credentials\r\n+OK bye\r\n",
       "Token for u is refused. ( h: {\"status\":\"401\"} [AUTH] Invalid credentials )"},
      {kSasl, "-ERR [AUTH] Token revoked\r\n", kRefused, auth + "QUIT\r\n",
       "+ \r\n-ERR [AUTH] Token revoked\r\n+OK bye\r\n",
       "Token for u is refused. ( h: [AUTH] Token revoked )"},
      {"", nullptr, kRefused, "AUTH XOAUTH2\r\nQUIT\r\n", "-ERR unknown\r\n+OK bye\r\n",
       "h does not offer XOAUTH2. ( unknown )"}};
  session.account.security = ConnectionSecurity::Tls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "/bin/echo tok";
  for (std::size_t chunk : {1, 65535}) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(c.log);
      server->xoauth2 = c.accepted;
      server->chunk = chunk;
      server->replies.clear();
      if (c.after) server->replies[kSaslWire] = c.after;
      server->sent.clear();
      server->delivered.clear();
      reporter.logLines.clear();
      EXPECT_EQ(session.Open(), c.open);
      EXPECT_EQ(server->sent, c.sent);
      EXPECT_EQ(server->delivered, "+OK ready\r\n" + c.delivered);
      EXPECT_EQ(reporter.logLines.at(1), "MSV : " + c.log);
      session.Close();
    }
  }
}

TEST_F(SessionTest, TokenGoesOnlyInsideStls) {
  session.account.security = ConnectionSecurity::StartTls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "/bin/echo tok";
  server->xoauth2 = kSasl;
  server->startTls = true;
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, std::string("STLS\r\nAUTH XOAUTH2\r\n") + kSaslWire + "\r\n");
  // On a clear connection the server is not even contacted.
  session.Close();
  session.account.security = ConnectionSecurity::Plain;
  EXPECT_EQ(session.Open(), CPop3Session::kNotSecured);
  EXPECT_EQ(server->connections, 1);
  EXPECT_EQ(reporter.logLines.back(),
            "MSV : XOAUTH2 for u needs security tls or starttls; h is not contacted.");
  EXPECT_EQ(reporter.statusTexts.back(),
            "XOAUTH2には暗号化接続 (SSL/TLSかSTARTTLS) が必要です ( h )");
}

TEST_F(SessionTest, SecretCommands) {
  // The password command's first line replaces the stored password.
  session.account.passwordCommand = "printf 'p\\nsecond\\n'";
  session.account.password = "stale";
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\n");
  session.Close();
  // A command that fails ends the login before any connection, with its standard error logged.
  session.account.passwordCommand = "/bin/ls /qm-none";
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  session.account.security = ConnectionSecurity::Tls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "";
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  session.account.tokenCommand = "/bin/sleep 30";
  session.SetTimeout(std::chrono::milliseconds(300));
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  EXPECT_EQ(server->connections, 1);
  EXPECT_EQ(
      Lines(reporter.logLines.end() - 7, reporter.logLines.end()),
      (Lines{"MSV : Connect to h:1100 ( u )",
             "MSV : The password command for u ( h ) exited with status 2.",
             "MSV : Its standard error: /bin/ls: cannot access '/qm-none': No such "
             "file or directory",
             "MSV : Connect to h:1100 ( u )", "MSV : The token command for u ( h ) is not set.",
             "MSV : Connect to h:1100 ( u )",
             "MSV : The token command for u ( h ) did not end within 300 ms "
             "and was stopped."}));
  EXPECT_EQ(reporter.statusTexts.back(), "トークンを取得できません ( h )");
}

TEST_F(SessionTest, ConnectFailureNamesTheServerAndCloseSendsNothing) {
  server->refuseConnect = true;
  EXPECT_EQ(session.Open(), CPop3Session::kNoConnection);
  EXPECT_EQ(session.ConnectError(), "サーバhに接続できません。");
  EXPECT_EQ(session.Close(), 0);
  EXPECT_EQ(server->sent, "");
  EXPECT_EQ(reporter.logLines.back(), "MSV : Close connection to h.");
}

TEST_F(SessionTest, HostileReplies) {
  server->messages = {{"a", "x\r\n"}, {"b", "y\r\n"}, {"c", "z\r\n"}};
  ASSERT_EQ(session.Open(), 0);
  std::string uid;
  ASSERT_TRUE(session.Uidl(3, uid));
  EXPECT_EQ(uid, "c");
  server->replies = {{"UIDL 3", "+OK 4 d\r\n"}, {"STAT", "+OK 7\r\n"}};
  EXPECT_FALSE(session.Uidl(3, uid));  // the answer is for another message
  int count = -1, size = -1;
  EXPECT_FALSE(session.Stat(count, size));
  server->replies = {{"STAT", "+OK 7 99999999999999999999\r\n"}};
  ASSERT_TRUE(session.Stat(count, size));
  EXPECT_EQ(count, 7);
  EXPECT_GT(size, 0);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nUIDL 3\r\nUIDL 3\r\nSTAT\r\nSTAT\r\n");
}

class RetrChunkTest : public SessionTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RetrChunkTest, BodyArrivesWholeWhateverTheSegments) {
  std::string body = "Subject: s\r\n\r\n";
  for (int i = 0; i < 3000; ++i)
    body += (i % 7 == 0 ? ".dot " : "line ") + std::to_string(i) + "\r\n";
  server->messages = {{"a", body}};
  server->chunk = GetParam();
  ASSERT_EQ(session.Open(), 0);
  std::string text;
  ASSERT_TRUE(session.Retr(1, text));
  EXPECT_EQ(text, server->Wire(0));
  EXPECT_TRUE(session.Dele(1));  // the next reply is read from where the body ended
}

INSTANTIATE_TEST_SUITE_P(Chunks, RetrChunkTest, ::testing::Values(1, 2, 3, 4096, 65535));

// A cut, a silent server and an overlong line each end the connection: Close then sends nothing.
TEST_F(SessionTest, CutSilentOrOverlongEndsTheConnection) {
  server->messages = {{"a", std::string(100000, 'x') + "\r\n"}};
  ASSERT_EQ(session.Open(), 0);
  server->cutAfter = server->delivered.size() + 50000;
  std::string text;
  EXPECT_FALSE(session.Retr(1, text));
  EXPECT_EQ(session.Close(), -1);

  server->cutAfter.reset();
  ASSERT_EQ(session.Open(), 0);
  server->replies["*"] = "";
  EXPECT_FALSE(session.Uidl(1, text));
  EXPECT_EQ(reporter.logLines.back(), "SVR : SOCKET ERROR !! ( err = 110 )");
  const std::size_t before = server->sent.size();
  EXPECT_EQ(session.Close(), -1);
  EXPECT_EQ(server->sent.size(), before);

  server->replies.clear();
  ASSERT_EQ(session.Open(), 0);
  server->replies["*"] = "+OK 1 " + std::string(3 << 20, 'u') + "\r\n";
  EXPECT_FALSE(session.Uidl(1, text));
  EXPECT_EQ(reporter.logLines.back(), "MSV : A reply line from h is longer than 65536 bytes.");
  EXPECT_FALSE(session.Dele(1));
}

}  // namespace
}  // namespace qm
