// The client side of POP3: reply readers, the session's conversation and retrieval runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "message/classifier.h"
#include "platform/file_io.h"
#include "pop3client/network_stream.h"
#include "pop3client/pop3_session.h"
#include "pop3client/reply_reader.h"
#include "pop3client/retrieval.h"
#include "store/mailbox.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

// Feeds `input` byte by byte, then whole and split once at every position, each time passing on
// what the last Feed left; then check(consumed).
template <typename FeedFn, typename Check>
void ForEveryCut(std::string_view input, FeedFn feed, Check check) {
  for (std::size_t at = 0; at <= input.size() + 1; ++at) {
    SCOPED_TRACE(at > input.size() ? "byte by byte" : "split at " + std::to_string(at));
    const std::size_t first = at > input.size() ? 1 : at,
                      rest = at > input.size() ? 1 : input.size();
    std::size_t received = 0, consumed = 0;
    for (bool start = true; received < input.size() || start; start = false) {
      received = std::min(input.size(), received + (start ? first : rest));
      consumed += feed(input.substr(consumed, received - consumed));
    }
    check(consumed);
  }
}

TEST(ReplyReaderTest, StatusWordsLinesAndTheLineLimit) {
  const std::pair<Lines, int> kWords[] = {
      {{}, kReplyNone},        {{"+OK", "2"}, kReplyOk},  {{"+OK", ""}, kReplyOk},
      {{"-ERR"}, kReplyErr},   {{"."}, kReplyDot},        {{".", ""}, kReplyOther},
      {{"+OK."}, kReplyOther}, {{"+ok"}, kReplyOther},    {{"+OK\r"}, kReplyOther},
      {{""}, kReplyOther},     {{"", "+OK"}, kReplyOther}};
  for (const auto& [tokens, code] : kWords) EXPECT_EQ(ClassifyReply(tokens), code) << tokens.size();
  // The input, its words, and what belongs to whatever follows the line (none: it is not whole).
  const std::tuple<std::string, Lines, const char*> kLines[] = {
      {"+OK POP3 ready <1.2@x>\r\n", {"+OK", "POP3", "ready", "<1.2@x>"}, ""},
      {"+OK  x\r\n", {"+OK", "", "x"}, ""},
      {"+OK \r\n", {"+OK"}, ""},
      {" +OK\r\n", {"", "+OK"}, ""},
      {"a\r b\r\r\n", {"a\r", "b\r"}, ""},
      {"a\n\rb\r\n", {"a\n\rb"}, ""},
      {"+OK\0x \0\r\n"s, {"+OK\0x"s, "\0"s}, ""},
      {"+OK 2\r\n1 abc\r\n", {"+OK", "2"}, "1 abc\r\n"},
      {"+OK 2", {"+OK"}, nullptr},
      {"+OK\r", {}, nullptr}};
  for (const auto& [input, tokens, leftover] : kLines) {
    CReplyLineReader reader;
    ForEveryCut(
        input, [&](std::string_view d) { return reader.Feed(d); },
        [&](std::size_t consumed) {
          EXPECT_TRUE(reader.Done() == (leftover != nullptr) && !reader.Overflowed() &&
                      reader.Tokens() == tokens);
          EXPECT_EQ(input.substr(consumed), leftover ? leftover : "");
          EXPECT_TRUE(!reader.Done() || reader.Feed("+OK\r\n") == 0u);
          reader.Reset();
        });
  }
  // The longest line is kept; one byte more abandons it, whatever the byte and however the line
  // was cut: exactly that byte is swallowed, and the next line is read after Reset.
  const std::size_t kMax = CReplyLineReader::kMaxLineBytes;
  std::string tokens;
  while (tokens.size() < (1 << 20)) tokens += "ab ";
  for (const std::string& input :
       {"+OK " + std::string(kMax - 4, 'a') + "\r\n", std::string(kMax + 1, 'a') + "\r\n",
        std::string(kMax, 'a') + " \r\n", std::string(kMax, 'a') + "\rb\r\n",
        std::string(1 << 20, '\r'), tokens}) {
    for (std::size_t chunk : {input.size(), std::size_t{4096}, std::size_t{1}}) {
      CReplyLineReader reader;
      std::size_t consumed = 0;
      for (std::size_t at = 0; at < input.size() && !reader.Done() && !reader.Overflowed();
           at += chunk)
        consumed += reader.Feed(std::string_view(input).substr(consumed, at + chunk - consumed));
      if (input.starts_with("+OK")) {
        EXPECT_TRUE(reader.Done() && reader.Tokens() == (Lines{"+OK", std::string(kMax - 4, 'a')}));
        continue;
      }
      EXPECT_TRUE(consumed == kMax + 1 && reader.Overflowed() && !reader.Done() &&
                  reader.Tokens().empty());
      EXPECT_EQ(reader.Feed("\r\n"), 0u);
      reader.Reset();
      EXPECT_TRUE(reader.Feed("-ERR\r\n") == 6u && reader.Tokens() == Lines{"-ERR"});
    }
  }
}

TEST(ReplyReaderTest, MultilineBodiesListingsAndCapabilities) {
  // The input and what follows the body (none: not whole); taken bytes are kept, NUL as space.
  const std::pair<std::string, const char*> kBodies[] = {
      {".\r\n+OK\r\n", "+OK\r\n"},  {"\r\n.\r\n", ""},
      {"..\r\nx\r\n.\r\n", ""},     {"a\r\n..\r\n", nullptr},
      {". \r\n", nullptr},          {"a.\r\n.\r\n", ""},
      {".\r\r\n.\r\n", ""},         {"a\n.\r\n", nullptr},
      {"a\r.\r\n", nullptr},        {"\0.\r\n.\r\n"s, ""},
      {"x\r\n.\r\n.\r\n", ".\r\n"}, {"line\r\n.\r", nullptr}};
  for (const auto& [input, leftover] : kBodies) {
    CMultilineReader reader;
    std::string text = "kept";  // the reader appends; it never clears
    ForEveryCut(
        input, [&](std::string_view d) { return reader.Feed(d, text); },
        [&](std::size_t consumed) {
          EXPECT_EQ(reader.Done(), leftover != nullptr);
          EXPECT_EQ(input.substr(consumed), leftover ? leftover : "");
          std::string taken = input.substr(0, consumed);
          std::replace(taken.begin(), taken.end(), '\0', ' ');
          EXPECT_EQ(text, "kept" + taken);
          EXPECT_TRUE(!reader.Done() || reader.Feed(".\r\n", text) == 0u);
          reader.Reset();
          text = "kept";
        });
  }
  EXPECT_EQ(ParseListing("1 abc\r\n 4 s2\r\n3  s1 more\r\n0 zero\r\n-1 neg\r\n1x "
                         "y\r\n5\r\n99999999999 big\r\n.\r\n3 c\r\n"),
            (std::vector<ListingEntry>{{1, "abc"}, {4, "s2"}, {3, "s1"}}));
  EXPECT_TRUE(ListsCapability("TOP\r\nSASL PLAIN PIPELINING\r\nuidl\r\n.\r\n", "UIDL"));
  EXPECT_FALSE(ListsCapability("SASL PIPELINING\r\n.\r\nPIPELINING\r\n", "PIPELINING"));
}

// A server that greets in clear text where the TLS handshake should be.
TEST(NetworkStreamTest, TlsIsRefusedWithoutAHandshake) {
  test::ScriptedPop3Server server([](test::FakePop3Server&, int) {});
  CNetworkStream stream;
  stream.SetSecurity(ConnectionSecurity::Tls, "");
  EXPECT_NE(stream.Connect("127.0.0.1", server.Port(), 10s, nullptr), ConnectResult::Connected);
  EXPECT_NE(stream.SecurityError().find("wrong version number"), std::string::npos);
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    SetReporter(&reporter);
    session.SetAccount("h", 1100, "u", "p");
  }
  ~SessionTest() override { SetReporter(nullptr); }
  int Open(std::size_t chunk = 65535) {
    server->chunk = chunk;
    server->sent.clear();
    server->delivered.clear();
    reporter.logLines.clear();
    return session.Open();
  }
  std::shared_ptr<test::FakePop3Server> server = std::make_shared<test::FakePop3Server>();
  test::RecordingReporter reporter;
  CPop3Session session{std::make_unique<test::FakeStream>(server)};
};

constexpr int kIn = CPop3Session::kLoggedIn, kBad = CPop3Session::kBadGreeting,
              kRefused = CPop3Session::kLoginRefused, kNotSecured = CPop3Session::kNotSecured;

// Only "+OK" exactly greets; no QUIT goes out unless greeted. A refused login ends with QUIT; a
// refused STLS before anything secret went out; whatever follows the STLS answer in the same read
// came in clear text and may be forged.
TEST_F(SessionTest, GreetingsLoginsAndRefusals) {
  // The greeting, the user the server knows, STLS answer (none: no STLS), result, bytes sent, log.
  const std::tuple<std::string, const char*, const char*, int, const char*, const char*> kCases[] =
      {{"+OK <1.2@x>\r\n", "u", nullptr, kIn, "USER u\r\nPASS p\r\nQUIT\r\n",
        "Authorization successful. ( u on h )"},
       {"+OK.\r\n", "u", nullptr, kBad, "", ""},
       {"-ERR busy\r\n", "u", nullptr, kBad, "", ""},
       {"", "u", nullptr, kBad, "", ""},
       {"+OK\0\r\n"s, "u", nullptr, kBad, "", ""},
       {"+OK\r\n", "x", nullptr, kRefused, "USER u\r\nQUIT\r\n", "User u fails to login. ( h )"},
       {"+OK\r\n", "u", "-ERR\r\n", kNotSecured, "STLS\r\nQUIT\r\n", "h does not offer STLS."},
       {"+OK\r\n", "u", "+OK go\r\n+OK forged\r\n", kNotSecured, "STLS\r\n",
        "Secure connection to h failed. ( the server sent data before the handshake )"}};
  for (const auto& [greeting, user, stls, open, sent, log] : kCases) {
    SCOPED_TRACE(greeting);
    server->greeting = greeting;
    server->user = user;
    server->replies = {{"STLS", stls ? stls : ""}};  // asked only when STLS is wanted
    session.account.security = stls ? ConnectionSecurity::StartTls : ConnectionSecurity::Plain;
    EXPECT_EQ(Open(stls ? 65535 : 1), open);
    session.Close();
    EXPECT_EQ(server->sent, sent);
    EXPECT_EQ(*log ? reporter.logLines.at(1) : "", *log ? "MSV : "s + log : "");
    EXPECT_TRUE(!server->connected && session.GetState() == CPop3Session::kClosed);
  }
}

// XOAUTH2 goes out on TLS only, and not offered it is a refused login. The password command's
// first line replaces the stored password; one that fails ends the login before connecting.
TEST_F(SessionTest, TokenAndPasswordCommands) {
  session.account.auth = AuthMethod::XOAuth2;
  session.account.tokenCommand = "/bin/echo tok";
  EXPECT_EQ(Open(), kNotSecured);
  EXPECT_EQ(server->connections, 0);
  session.account.security = ConnectionSecurity::Tls;
  EXPECT_EQ(Open(1), kRefused);
  session.Close();
  EXPECT_EQ(server->sent + server->delivered,
            "AUTH XOAUTH2\r\nQUIT\r\n+OK ready\r\n-ERR unknown\r\n+OK bye\r\n");
  session.account.auth = AuthMethod::Password;
  session.account.passwordCommand = "printf 'p\\nsecond\\n'";
  session.account.password = "stale";
  EXPECT_TRUE(Open() == kIn && server->sent == "USER u\r\nPASS p\r\n");
  session.Close();
  session.account.passwordCommand = "/bin/ls /qm-none";
  EXPECT_TRUE(Open() == CPop3Session::kNoCredentials && server->connections == 2);
  EXPECT_EQ(reporter.logLines.back(),
            "MSV : Its standard error: /bin/ls: cannot access "
            "'/qm-none': No such file or directory");
}

// A reply for another message, a short STAT, a cut, a silent server and an overlong line: each is
// refused, and the last three end the connection. An overlong size is taken as large, not wrapped.
TEST_F(SessionTest, HostileReplies) {
  std::string text;
  server->messages = {{"a", "y\r\n"}, {"b", "y\r\n"}, {"c", std::string(100000, 'x') + "\r\n"}};
  ASSERT_EQ(Open(), kIn);
  int count = -1, size = -1;
  server->replies = {{"UIDL 3", "+OK 4 d\r\n"}, {"STAT", "+OK 7\r\n"}};
  EXPECT_FALSE(session.Uidl(3, text) || session.Stat(count, size));
  server->replies = {{"STAT", "+OK 7 99999999999999999999\r\n"}};
  EXPECT_TRUE(session.Stat(count, size) && count == 7 && size > 0);
  EXPECT_EQ(server->sent, "USER u\r\nPASS p\r\nUIDL 3\r\nSTAT\r\nSTAT\r\n");
  server->replies.clear();
  server->cutAfter = server->delivered.size() + 50000;
  EXPECT_FALSE(session.Retr(3, text));
  EXPECT_EQ(session.Close(), -1);
  server->cutAfter.reset();
  for (const std::string& reply : {""s, "+OK 1 " + std::string(3 << 20, 'u') + "\r\n"}) {
    ASSERT_EQ(Open(), kIn);
    server->replies["*"] = reply;
    EXPECT_FALSE(session.Uidl(1, text));
    EXPECT_EQ(reporter.logLines.back(),
              reply.empty() ? "SVR : SOCKET ERROR !! ( err = 110 )"
                            : "MSV : A reply line from h is longer than 65536 bytes.");
    const std::size_t before = server->sent.size();
    EXPECT_TRUE(session.Close() == -1 && server->sent.size() == before);
    server->replies.clear();
  }
}

// Unclassified mail keeps its server copy; these runs classify everything as other.
struct OtherClassifier : IClassifier {
  void Classify(CMailMessage& message) override { message.mark.SetClassification(VerdictOther, 0); }
};

test::FakeMessage Mail(const std::string& uid, const std::string& subject = "x") {
  return {uid, "Subject: " + subject + "\r\nMessage-ID: <" + uid + "@x>\r\n\r\nbody of " + uid +
                   "\r\n.leading dot\r\n"};
}

class RetrievalTest : public SessionTest {
 protected:
  RetrievalTest() {
    auto owned = std::make_unique<CPop3Session>(std::make_unique<test::FakeStream>(server));
    client = owned.get();
    mailbox = CMailbox::CreateMain(directory.File("box"), std::move(owned));
    EXPECT_EQ(mailbox->Load(), 1);
    client->SetAccount("h", 110, "u", "p");
    mailbox->SetClassifier(&classifier);
    mailbox->Config().options = 0;  // everything stays in the mailbox, visible
    mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  }
  // The commands of the last connection after logging in, each CR LF written as "|".
  std::string Commands() {
    const std::size_t at = server->sent.rfind("USER u\r\nPASS p\r\n");
    std::string sent = at == std::string::npos ? server->sent : server->sent.substr(at + 16);
    for (std::size_t crlf; (crlf = sent.find("\r\n")) != std::string::npos;)
      sent.replace(crlf, 2, "|");
    return sent;
  }
  std::string Run(std::size_t chunk = 65535) {
    server->chunk = chunk;
    server->sent.clear();
    const int result = Retrieve(*mailbox);
    return (result == kRetrieveDone     ? "done "
            : result == kRetrieveFailed ? "failed "
                                        : "? ") +
           Commands();
  }
  std::string Stored(int n) {
    std::string bytes;
    EXPECT_TRUE(mailbox->ReadStoredBytes(n, bytes));
    return bytes;
  }
  long Logged(const std::string& line) {
    return std::count(reporter.logLines.begin(), reporter.logLines.end(), line);
  }

  ScratchDirectory directory;
  OtherClassifier classifier;
  CPop3Session* client = nullptr;
  std::unique_ptr<CMailbox> mailbox;
};

// An empty server is asked no UIDL; new mail is stored as it travelled, once; an empty message
// stays one message; a copy deleted here is forgotten once the server's copy has gone.
TEST_F(RetrievalTest, NewMailIsFetchedOnceAndStoredAsItTravelled) {
  mailbox->Config().SetServerDeletion(KeepOnServer);
  EXPECT_EQ(Run(), "done STAT|QUIT|");
  server->messages = {Mail("a"), {"e", ""}, Mail("b")};
  EXPECT_EQ(Run(1), "done STAT|UIDL|LIST|CAPA|RETR 1|RETR 2|RETR 3|QUIT|");
  EXPECT_EQ(Stored(1) + Stored(2), server->Wire(0) + "\r\n.\r\n");
  server->messages.push_back(Mail("c"));
  ASSERT_TRUE(mailbox->RemoveMessage(1, nullptr) == 1 && client->DeletedHere().Count() == 1);
  EXPECT_EQ(Run(), "done STAT|UIDL|LIST|RETR 4|QUIT|");
  EXPECT_EQ(std::to_string(mailbox->MessageCount()) + mailbox->Mark(1).uidl +
                mailbox->Mark(2).uidl + mailbox->Mark(3).uidl,
            "3ebc");
  server->messages.erase(server->messages.begin());
  EXPECT_EQ(Run(), "done STAT|UIDL|QUIT|");
  EXPECT_EQ(client->DeletedHere().Count() * 10 + client->KnownUidls().Count(), 3u);
}

// A gap in the listing is asked about; a wrong answer, a refused STAT or garbage for a RETR ends
// the run without QUIT, keeps what was stored intact, and the next run completes it.
TEST_F(RetrievalTest, HostileRepliesEndTheRunAndCorruptNothing) {
  server->messages = {Mail("a"), Mail("b")};
  server->replies = {{"UIDL", "+OK\r\n1 a\r\nnot a line\r\n.\r\n"}, {"UIDL 2", "+OK 3 c\r\n"}};
  EXPECT_EQ(Run(), "failed STAT|UIDL|UIDL 2|");
  server->replies = {{"STAT", "-ERR maildrop locked\r\n"}};
  EXPECT_EQ(Run(), "failed STAT|");
  EXPECT_TRUE(!server->connected && mailbox->MessageCount() == 0);
  server->replies = {{"RETR 2", "garbage\0line\r\n+OK\r\n"s}};
  const std::string wireA = server->Wire(0);
  EXPECT_TRUE(Run(1).starts_with("failed"));
  EXPECT_EQ(Stored(1) + std::to_string(mailbox->MessageCount()), wireA + "1");
  server->replies.clear();
  EXPECT_TRUE(Run().starts_with("done"));  // deleted on the server, they keep no unique id
  EXPECT_EQ(std::to_string(mailbox->MessageCount()) + mailbox->Mark(1).uidl +
                mailbox->Mark(2).uidl + std::to_string(server->messages.size()),
            "20");
}

// Stored mail is synced before the QUIT that deletes it: mail that may not be on disk is not given
// up by the server, nor does the marks file take over from the journal.
TEST_F(RetrievalTest, StoredMailIsSyncedBeforeTheQuitThatDeletes) {
  bool refuse = false;
  SetFileFaultInjector([&](FileOperation op) { return op == FileOperation::Sync && refuse; });
  server->messages = {Mail("a"), Mail("b")};
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    refuse = refuse || command == "RETR 2";
    return std::nullopt;
  };
  const std::string failed = Run();
  server->replyOverride = nullptr;
  EXPECT_EQ(mailbox->SaveMarks(), 0);
  EXPECT_TRUE(std::filesystem::exists(directory.File("box") + ".jnl"));
  SetFileFaultInjector(nullptr);
  EXPECT_TRUE(failed.starts_with("failed") && !failed.ends_with("QUIT|") &&
              server->messages.size() == 2 && mailbox->MessageCount() == 2);
  EXPECT_TRUE(Logged("MBX : File I/O Error.( " + directory.File("box") + ".jnl  :  errno = 5 )"));
  EXPECT_EQ(Run(), "done STAT|UIDL|LIST|CAPA|TOP 1 0|DELE 1|TOP 2 0|DELE 2|QUIT|");
  EXPECT_EQ(mailbox->MessageCount(), 2);
}

// What each kind of server is sent, and whether later commands go out before earlier answers.
TEST_F(RetrievalTest, SendsWhatTheServerSupports) {
  // Classic (no CAPA, UIDL or LIST without argument), pipelining, the commands sent.
  const std::tuple<bool, bool, const char*> kCases[] = {
      {true, false,
       "STAT|UIDL|UIDL 1|UIDL 2|UIDL 3|LIST|LIST 1|RETR 1|DELE 1|LIST 2|RETR 2|DELE 2|LIST 3|RETR "
       "3|DELE 3|QUIT|"},
      {false, false, "STAT|UIDL|LIST|CAPA|RETR 1|DELE 1|RETR 2|DELE 2|RETR 3|DELE 3|QUIT|"},
      {false, true, "STAT|UIDL|LIST|CAPA|RETR 1|RETR 2|RETR 3|DELE 1|DELE 2|DELE 3|QUIT|"}};
  for (const auto& [classic, pipelining, commands] : kCases) {
    SCOPED_TRACE(commands);
    server->classic = classic;
    server->pipelining = pipelining;
    const std::string id = std::to_string(mailbox->MessageCount());
    server->messages = {Mail("a" + id), Mail("b" + id), Mail("c" + id)};
    std::vector<std::size_t> answeredBefore;  // bytes delivered when each RETR came in
    server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
      if (command.starts_with("RETR")) answeredBefore.push_back(server->delivered.size());
      return std::nullopt;
    };
    EXPECT_EQ(Run(), "done "s + commands);
    EXPECT_TRUE(server->messages.empty());
    ASSERT_EQ(answeredBefore.size(), 3u);
    EXPECT_EQ(answeredBefore[2] == answeredBefore[0], pipelining);
    server->replyOverride = nullptr;
  }
}

// What goes wrong in the middle of a run, one command at a time or inside a window of pipelined
// commands, ends the run keeping what was stored (its marks saved), and the next run completes
// it; an answer that comes late, a byte at a time, breaks nothing.
TEST_F(RetrievalTest, AFaultEndsTheRunAndTheNextCompletesIt) {
  // Pipelining, bytes per read, fault in message 2 (refused, cut, disk full), stored, left there.
  const std::tuple<bool, std::size_t, char, int, std::size_t> kCases[] = {
      {true, 1, ' ', 3, 0},     {false, 4096, 'r', 2, 1}, {true, 4096, 'r', 2, 1},
      {false, 4096, 'c', 1, 3}, {true, 4096, 'c', 1, 3},  {true, 4096, 'd', 1, 2}};
  for (const auto& [pipelining, chunk, fault, stored, leftOnServer] : kCases) {
    const int before = mailbox->MessageCount();
    SCOPED_TRACE(before);
    server->pipelining = pipelining;
    server->messages = {Mail("a" + std::to_string(before)),
                        Mail("b" + std::to_string(before), std::string(50000, 'x')),
                        Mail("c" + std::to_string(before))};
    const std::string wireB = server->Wire(1);
    if (fault == 'r') server->replies["RETR 2"] = "-ERR cannot\r\n";
    server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
      if (fault == 'c' && command == "RETR 2")
        server->cutAfter = server->delivered.size() + server->pending.size() + 1000;
      return std::nullopt;
    };
    int writes = 0;  // each store writes its mark, then its message
    SetFileFaultInjector([&](FileOperation op) {
      return fault == 'd' && op == FileOperation::Write && ++writes == 3;
    });
    EXPECT_EQ(Run(chunk).starts_with("done"), chunk == 1);
    SetFileFaultInjector(nullptr);
    EXPECT_EQ(mailbox->MessageCount() - before, stored);
    EXPECT_TRUE(server->messages.size() == leftOnServer && !mailbox->MarksDirty());
    // The answers still owed were read before QUIT, which was answered as QUIT.
    EXPECT_EQ(server->delivered.ends_with("+OK bye\r\n"), fault != 'c');
    server->replies.clear();
    server->replyOverride = nullptr;
    server->cutAfter.reset();
    EXPECT_TRUE(Run().starts_with("done"));
    EXPECT_TRUE(mailbox->MessageCount() == before + 3 && server->messages.empty());
    for (int n = before + 1; n <= before + 3; ++n)
      EXPECT_TRUE(mailbox->Summary(n).subject == "x" || Stored(n) == wireB) << n;
  }
}

// A message over the limit stays on the server, in no list, and is never fetched again, however
// its size is told: by LIST, by LIST n wrongly or not at all (when reading tells), a byte at a
// time. The server's own word is asked again; what only reading told is remembered. One of
// exactly the limit is fetched whole; a body far past the limit with no size told is cut off.
TEST_F(RetrievalTest, OversizeMailStaysOnTheServer) {
  // The answer to LIST n (none: the sizes come from LIST; empty: the true size), bytes per read.
  const std::pair<const char*, std::size_t> kCases[] = {{nullptr, 3},
                                                        {"", 65535},
                                                        {"-ERR no LIST here\r\n", 1},
                                                        {"+OK 2 100\r\n", 4096},
                                                        {"+OK 3 999999\r\n", 7}};
  client->SetMessageLimit(1000);
  std::string body;
  for (int i = 0; i < 30; ++i) body += (i % 7 ? "x" : ".") + std::string(98, 'x') + "\r\n";
  for (const auto& [listReply, chunk] : kCases) {
    const std::string big = "big" + std::to_string(chunk);
    SCOPED_TRACE(big);
    const bool classic = listReply != nullptr, misled = classic && *listReply;
    server->messages = {Mail("a" + big), {big, "Subject: big\r\n\r\n" + body}, Mail("c" + big)};
    server->classic = classic;
    server->replies.clear();
    if (misled) server->replies["LIST 2"] = listReply;
    const std::size_t size = misled ? server->Wire(1).size() : server->messages[1].text.size();
    EXPECT_EQ(Run(chunk), !classic ? "done STAT|UIDL|LIST|CAPA|RETR 1|DELE 1|RETR 3|DELE 3|QUIT|"
                                   : "done STAT|UIDL|UIDL 1|UIDL 2|UIDL 3|LIST|LIST 1|RETR 1|DELE "
                                     "1|LIST 2|"s +
                                         (misled ? "RETR 2|" : "") + "LIST 3|RETR 3|DELE 3|QUIT|");
    std::string ignored;
    EXPECT_FALSE(client->IsKnown(big) || client->IsDeletedHere(big) ||
                 client->FindPendingDeletion(big, ignored));
    EXPECT_TRUE(Logged("MSV : Message 2 ( " + big + " ) on h has " + std::to_string(size) +
                       " bytes, more than the limit of 1000; it stays on the server.") == 1);
    EXPECT_EQ(Run(), !classic ? "done STAT|UIDL|LIST|QUIT|"
                     : misled ? "done STAT|UIDL|UIDL 1|LIST|QUIT|"
                              : "done STAT|UIDL|UIDL 1|LIST|LIST 1|QUIT|");
    EXPECT_EQ(server->messages.size(), 1u);
  }
  const int before = mailbox->MessageCount();
  std::string text = "Subject: fits\r\n\r\n";
  for (int i = 0; i < 5; ++i) text += ".dotted line\r\n" + std::string(150, 'x') + "\r\n";
  server->messages = {{"fits", text + std::string(1000 - 2 - text.size(), 'x') + "\r\n"},
                      {"endless", "Subject: x\r\n\r\n" + std::string(20000, 'x') + "\r\n"}};
  server->replies = {{"LIST 2", "-ERR\r\n"}};
  EXPECT_TRUE(Run(512).starts_with("failed"));
  EXPECT_TRUE(Stored(before + 1) == server->Wire(0) && mailbox->MessageCount() == before + 1 &&
              !server->connected);
  EXPECT_TRUE(std::any_of(reporter.logLines.begin(), reporter.logLines.end(), [](const auto& line) {
    return line.find("did not end within") != std::string::npos;
  }));
}

// A busy mailbox, or one without a server, is not contacted (and the latter quietly succeeds).
TEST_F(RetrievalTest, BusyMailboxOrNoServerIsNotContacted) {
  server->messages = {Mail("a")};
  ASSERT_TRUE(mailbox->retrievalLock.TryAcquire());
  EXPECT_EQ(Retrieve(*mailbox), kRetrieveBusy);
  mailbox->retrievalLock.Release();
  client->SetAccount("", 110, "", "");
  EXPECT_EQ(Run(), "done ");
  EXPECT_TRUE(server->connections == 0 && reporter.statusTexts.empty());
}

}  // namespace
}  // namespace qm
