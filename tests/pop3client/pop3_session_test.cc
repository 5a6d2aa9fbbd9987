// The session's conversation with a server, byte for byte in both directions.
#include "pop3client/pop3_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fake_pop3_server.h"
#include "support/recording_reporter.h"

namespace qm {
namespace {

using test::FakePop3Server;
using test::FakeStream;

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    SetReporter(&reporter);
    session.SetAccount("pop.example.org", 1100, "u", "p");
  }
  ~SessionTest() override { SetReporter(nullptr); }

  std::shared_ptr<FakePop3Server> server = std::make_shared<FakePop3Server>();
  test::RecordingReporter reporter;
  CPop3Session session{std::make_unique<FakeStream>(server)};
};

TEST_F(SessionTest, LogsInWithUserAndPass) {
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\n");
  EXPECT_EQ(session.GetState(), CPop3Session::kLoggedInState);
  EXPECT_EQ(reporter.logLines,
            (std::vector<std::string>{"MSV : Connect to pop.example.org:1100 ( u )",
                                      "MSV : Authorization successful. ( u on pop.example.org )"}));
  EXPECT_EQ(reporter.statusTexts,
            (std::vector<std::string>{"接続中 ( pop.example.org )", "認証中 ( pop.example.org )"}));
  EXPECT_EQ(session.Close(), 0);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nQUIT\r\n");
  EXPECT_EQ(reporter.logLines.back(), "MSV : Close connection to pop.example.org.");
}

struct GreetingCase {
  const char* greeting;
  int open;
};

class GreetingTest : public SessionTest, public ::testing::WithParamInterface<GreetingCase> {};

TEST_P(GreetingTest, OnlyAFirstTokenOfExactlyPlusOkIsPositive) {
  server->greeting = GetParam().greeting;
  server->chunk = 1;
  EXPECT_EQ(session.Open(), GetParam().open);
  if (GetParam().open == CPop3Session::kBadGreeting) {
    // No QUIT for a server that never greeted.
    EXPECT_EQ(server->sent, "");
    EXPECT_EQ(reporter.logLines.back(), "MSV : Close connection to pop.example.org.");
    EXPECT_FALSE(server->connected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Greetings, GreetingTest,
    ::testing::Values(GreetingCase{"+OK\r\n", CPop3Session::kLoggedIn},
                      GreetingCase{"+OK POP3 ready <1.2@x>\r\n", CPop3Session::kLoggedIn},
                      GreetingCase{"+OK.\r\n", CPop3Session::kBadGreeting},
                      GreetingCase{"+ok\r\n", CPop3Session::kBadGreeting},
                      GreetingCase{"-ERR busy\r\n", CPop3Session::kBadGreeting},
                      GreetingCase{"\r\n", CPop3Session::kBadGreeting},
                      GreetingCase{"", CPop3Session::kBadGreeting},
                      GreetingCase{"+OK\0\r\n", CPop3Session::kBadGreeting}));

TEST_F(SessionTest, RefusedUserIsNeverFollowedByPass) {
  server->user = "other";
  EXPECT_EQ(session.Open(), CPop3Session::kLoginRefused);
  EXPECT_EQ(server->sent, "USER u\r\nQUIT\r\n");
  EXPECT_EQ(reporter.logLines[1], "MSV : User u fails to login. ( pop.example.org )");
  EXPECT_EQ(session.GetState(), CPop3Session::kClosed);
}

TEST_F(SessionTest, RefusedPassword) {
  server->password = "other";
  EXPECT_EQ(session.Open(), CPop3Session::kLoginRefused);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nQUIT\r\n");
  EXPECT_EQ(reporter.logLines[1], "MSV : Password for u is not incorrect. ( pop.example.org )");
}

TEST_F(SessionTest, RefusedStlsNeverFallsBackToClearText) {
  session.account.security = ConnectionSecurity::StartTls;
  EXPECT_EQ(session.Open(), CPop3Session::kNotSecured);
  EXPECT_EQ(server->sent, "STLS\r\nQUIT\r\n");
  EXPECT_EQ(reporter.logLines[1], "MSV : pop.example.org does not offer STLS.");
  EXPECT_EQ(reporter.statusTexts.back(), "暗号化接続に失敗しました ( pop.example.org )");
}

TEST_F(SessionTest, BytesAfterTheStlsReplyEndTheConnection) {
  // Whatever follows the reply in the same read came in clear text and may be forged.
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "STLS") return "+OK go ahead\r\n+OK injected\r\n";
    return std::nullopt;
  };
  session.account.security = ConnectionSecurity::StartTls;
  EXPECT_EQ(session.Open(), CPop3Session::kNotSecured);
  EXPECT_EQ(server->sent, "STLS\r\n");
  EXPECT_EQ(reporter.logLines[1],
            "MSV : Secure connection to pop.example.org failed. ( the server sent data before the "
            "handshake )");
  EXPECT_FALSE(server->connected);
}

// The XOAUTH2 dialogue, byte for byte both ways, whole and one byte at a time.
struct TokenCase {
  const char* name;
  const char* accepted;     // the SASL string the server takes; empty: AUTH XOAUTH2 not offered
  const char* afterString;  // replaces the server's answer to the string, when set
  int open;
  const char* sent;
  const char* delivered;
  const char* log;
};

constexpr char kSasl[] =
    "user=u\x01"
    "auth=Bearer tok\x01\x01";
constexpr char kSaslWire[] = "dXNlcj11AWF1dGg9QmVhcmVyIHRvawEB\r\n";

class TokenTest : public SessionTest,
                  public ::testing::WithParamInterface<std::tuple<TokenCase, std::size_t>> {};

TEST_P(TokenTest, XOAuth2Dialogue) {
  const auto& [c, chunk] = GetParam();
  session.account.security = ConnectionSecurity::Tls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "/bin/echo tok";
  server->xoauth2 = c.accepted;
  server->chunk = chunk;
  if (c.afterString != nullptr) {
    server->replyOverride = [&c](const std::string& command) -> std::optional<std::string> {
      if (command + "\r\n" == kSaslWire) return std::string(c.afterString);
      return std::nullopt;
    };
  }
  EXPECT_EQ(session.Open(), c.open);
  EXPECT_EQ(server->sent, c.sent);
  EXPECT_EQ(server->delivered, c.delivered);
  EXPECT_EQ(reporter.logLines[1], c.log);
  EXPECT_EQ(server->sent.find("USER"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogues, TokenTest,
    ::testing::Combine(
        ::testing::Values(
            TokenCase{"Accepted", kSasl, nullptr, CPop3Session::kLoggedIn,
                      "AUTH XOAUTH2\r\ndXNlcj11AWF1dGg9QmVhcmVyIHRvawEB\r\n",
                      "+OK ready\r\n+ \r\n+OK in\r\n",
                      "MSV : Authorization successful. ( u on pop.example.org )"},
            TokenCase{"ErrorChallenge",
                      "user=u\x01"
                      "auth=Bearer other\x01\x01",
                      nullptr, CPop3Session::kLoginRefused,
                      "AUTH XOAUTH2\r\ndXNlcj11AWF1dGg9QmVhcmVyIHRvawEB\r\n\r\nQUIT\r\n",
                      "+OK ready\r\n+ \r\n+ eyJzdGF0dXMiOiI0MDEifQ==\r\n"
                      "-ERR [AUTH] Invalid credentials\r\n+OK bye\r\n",
                      "MSV : Token for u is refused. ( pop.example.org: {\"status\":\"401\"} "
                      "[AUTH] Invalid credentials )"},
            TokenCase{"Err", kSasl, "-ERR [AUTH] Token revoked\r\n", CPop3Session::kLoginRefused,
                      "AUTH XOAUTH2\r\ndXNlcj11AWF1dGg9QmVhcmVyIHRvawEB\r\nQUIT\r\n",
                      "+OK ready\r\n+ \r\n-ERR [AUTH] Token revoked\r\n+OK bye\r\n",
                      "MSV : Token for u is refused. ( pop.example.org: [AUTH] Token revoked )"},
            TokenCase{"NotOffered", "", nullptr, CPop3Session::kLoginRefused,
                      "AUTH XOAUTH2\r\nQUIT\r\n", "+OK ready\r\n-ERR unknown\r\n+OK bye\r\n",
                      "MSV : pop.example.org does not offer XOAUTH2. ( unknown )"}),
        ::testing::Values(std::size_t{1}, std::size_t{65535})),
    [](const auto& param) {
      return std::string(std::get<0>(param.param).name) +
             (std::get<1>(param.param) == 1 ? "ByteByByte" : "");
    });

TEST_F(SessionTest, TokenGoesOnlyInsideStls) {
  session.account.security = ConnectionSecurity::StartTls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "/bin/echo tok";
  server->xoauth2 = kSasl;
  server->startTls = true;
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, std::string("STLS\r\nAUTH XOAUTH2\r\n") + kSaslWire);
  // On a clear connection the server is not even contacted.
  session.Close();
  session.account.security = ConnectionSecurity::Plain;
  EXPECT_EQ(session.Open(), CPop3Session::kNotSecured);
  EXPECT_EQ(server->connections, 1);
  EXPECT_EQ(reporter.logLines.back(),
            "MSV : XOAUTH2 for u needs security tls or starttls; pop.example.org is not "
            "contacted.");
  EXPECT_EQ(reporter.statusTexts.back(),
            "XOAUTH2には暗号化接続 (SSL/TLSかSTARTTLS) が必要です ( pop.example.org )");
}

TEST_F(SessionTest, SecretCommands) {
  // The password command's first line replaces the stored password.
  session.account.passwordCommand = "printf 'p\\nsecond\\n'";
  session.account.password = "stale";
  EXPECT_EQ(session.Open(), CPop3Session::kLoggedIn);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\n");
  session.Close();
  // A command that fails ends the login before any connection, with its standard error logged.
  session.account.passwordCommand = "/bin/ls /nonexistent-qm";
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  session.account.security = ConnectionSecurity::Tls;
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "";
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  session.account.tokenCommand = "/bin/sleep 30";
  session.SetTimeout(std::chrono::milliseconds(300));
  EXPECT_EQ(session.Open(), CPop3Session::kNoCredentials);
  EXPECT_EQ(server->connections, 1);
  const std::vector<std::string> tail(reporter.logLines.end() - 7, reporter.logLines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{
                      "MSV : Connect to pop.example.org:1100 ( u )",
                      "MSV : The password command for u ( pop.example.org ) exited with status 2.",
                      "MSV : Its standard error: /bin/ls: cannot access '/nonexistent-qm': No "
                      "such file or directory",
                      "MSV : Connect to pop.example.org:1100 ( u )",
                      "MSV : The token command for u ( pop.example.org ) is not set.",
                      "MSV : Connect to pop.example.org:1100 ( u )",
                      "MSV : The token command for u ( pop.example.org ) did not end within 300 "
                      "ms and was stopped."}));
  EXPECT_EQ(reporter.statusTexts.back(), "トークンを取得できません ( pop.example.org )");
}

TEST_F(SessionTest, ConnectFailureNamesTheServer) {
  server->refuseConnect = true;
  EXPECT_EQ(session.Open(), CPop3Session::kNoConnection);
  EXPECT_EQ(session.ConnectError(), "サーバpop.example.orgに接続できません。");
}

TEST_F(SessionTest, CloseWithoutConnectionOnlyLogs) {
  EXPECT_EQ(session.Close(), 0);
  EXPECT_EQ(server->sent, "");
  EXPECT_EQ(reporter.logLines,
            std::vector<std::string>{"MSV : Close connection to pop.example.org."});
}

TEST_F(SessionTest, UidlMustAnswerForTheMessageAsked) {
  server->messages = {{"a", "x\r\n"}, {"b", "y\r\n"}, {"c", "z\r\n"}};
  ASSERT_EQ(session.Open(), 0);
  std::string uid;
  ASSERT_TRUE(session.Uidl(3, uid));
  EXPECT_EQ(uid, "c");
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "UIDL 3") return "+OK 4 d\r\n";
    return std::nullopt;
  };
  EXPECT_FALSE(session.Uidl(3, uid));
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nUIDL 3\r\nUIDL 3\r\n");
}

TEST_F(SessionTest, StatNeedsThreeTokens) {
  ASSERT_EQ(session.Open(), 0);
  int count = -1, size = -1;
  server->replyOverride = [](const std::string&) -> std::optional<std::string> {
    return "+OK 7\r\n";
  };
  EXPECT_FALSE(session.Stat(count, size));
  server->replyOverride = [](const std::string&) -> std::optional<std::string> {
    return "+OK 7 99999999999999999999\r\n";
  };
  ASSERT_TRUE(session.Stat(count, size));
  EXPECT_EQ(count, 7);
  EXPECT_GT(size, 0);
}

class RetrChunkTest : public SessionTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RetrChunkTest, BodyArrivesWholeWhateverTheSegments) {
  std::string body = "Subject: s\r\n\r\n";
  for (int i = 0; i < 3000; ++i)
    body += (i % 7 == 0 ? ".dot line " : "line ") + std::to_string(i) + "\r\n";
  server->messages = {{"a", body}};
  server->chunk = GetParam();
  ASSERT_EQ(session.Open(), 0);
  std::string text;
  ASSERT_TRUE(session.Retr(1, text));
  EXPECT_EQ(text, server->Wire(0));
  // The next reply is read from where the body ended.
  EXPECT_TRUE(session.Dele(1));
}

INSTANTIATE_TEST_SUITE_P(Chunks, RetrChunkTest, ::testing::Values(1, 2, 3, 5, 4096, 65535));

TEST_F(SessionTest, NulBytesAreStoredAsBlanks) {
  server->messages = {{"a", std::string("Subject: a\0b\r\n\r\nx\0\r\n", 20)}};
  ASSERT_EQ(session.Open(), 0);
  std::string text;
  ASSERT_TRUE(session.Retr(1, text));
  EXPECT_EQ(text, "Subject: a b\r\n\r\nx \r\n.\r\n");
}

TEST_F(SessionTest, CutInTheMiddleOfABodyFails) {
  server->messages = {{"a", std::string(100000, 'x') + "\r\n"}};
  ASSERT_EQ(session.Open(), 0);
  server->cutAfter = server->delivered.size() + 50000;
  std::string text;
  EXPECT_FALSE(session.Retr(1, text));
  EXPECT_EQ(session.Close(), -1);
}

TEST_F(SessionTest, SilentServerEndsAsSocketError) {
  server->messages = {{"a", "x\r\n"}};
  ASSERT_EQ(session.Open(), 0);
  server->replyOverride = [](const std::string&) -> std::optional<std::string> { return ""; };
  std::string uid;
  EXPECT_FALSE(session.Uidl(1, uid));
  EXPECT_EQ(reporter.logLines.back(), "SVR : SOCKET ERROR !! ( err = 110 )");
  // The connection is gone: Close sends nothing more and waits for nothing.
  const std::size_t before = server->sent.size();
  EXPECT_EQ(session.Close(), -1);
  EXPECT_EQ(server->sent.size(), before);
}

TEST_F(SessionTest, OverlongReplyLineEndsTheConnection) {
  ASSERT_EQ(session.Open(), 0);
  server->replyOverride = [](const std::string&) -> std::optional<std::string> {
    return "+OK 1 " + std::string(3 << 20, 'u') + "\r\n";
  };
  std::string uid;
  EXPECT_FALSE(session.Uidl(1, uid));
  EXPECT_EQ(reporter.logLines.back(),
            "MSV : A reply line from pop.example.org is longer than 65536 bytes.");
  EXPECT_FALSE(session.Dele(1));
}

}  // namespace
}  // namespace qm
