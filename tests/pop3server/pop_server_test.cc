// The server over real loopback connections: greeting, conversations, the limits that keep a
// hostile or forgetful client from hurting the program.
#include "pop3server/pop_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "store/mailbox.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

class Host : public IPopServerHost {
 public:
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override {
    if (throwOnLogin) throw std::bad_alloc();  // as when memory runs out in a command
    index = 0;
    return user == "taro" && password == "secret" ? box : nullptr;
  }
  void LoginAccepted(CMailbox&, int) override {}
  void ConnectionEnded() override { ++ended; }
  CMailbox* box = nullptr;
  std::atomic<int> ended{0};
  std::atomic<bool> throwOnLogin{false};
};

const std::string kGreeting = "+OK POP3 server ready\r\n";

class Client {
 public:
  explicit Client(std::uint16_t port) {
    EXPECT_EQ(socket.Connect("127.0.0.1", port, 2s), ConnectResult::Connected);
  }
  void Send(const std::string& bytes) { EXPECT_TRUE(socket.Send(bytes)); }
  // Reads until `expected` bytes arrived or the peer stops sending.
  std::string Read(std::size_t expected, std::chrono::milliseconds timeout = 5s) {
    std::string got;
    char buffer[4096];
    while (got.size() < expected) {
      const std::int64_t n = socket.Receive(buffer, sizeof buffer, timeout);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  // True when the server closed the connection.
  bool Closed() {
    char c;
    return socket.Receive(&c, 1, 5s) == 0;
  }
  CTcpConnection socket;
};

// What the server first says to a connection from `source`, a loopback address other than the
// one a Client comes from: the greeting, or "-ERR" and the end.
std::string FirstReplyFrom(const char* source, std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return "no socket";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &address.sin_addr);
  const timeval timeout{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string got = "not connected";
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      got.clear();
      char buffer[64];
      ssize_t n;
      while (got.size() < 23 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        got.append(buffer, static_cast<std::size_t>(n));
      }
    }
  }
  ::close(fd);
  return got;
}

class PopServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReporter(&recorder);
    box = CMailbox::CreateMain(directory.File("inbox"));
    ASSERT_EQ(box->Load(), 1);
    CMailMessage m;
    m.Parse(text);
    box->AppendMessage(m);
    host.box = box.get();
  }
  void TearDown() override {
    server.reset();
    box.reset();
    SetReporter(nullptr);
  }
  long Count(const std::string& line) {
    std::lock_guard lock(recorder.mutex);
    return std::count(recorder.logLines.begin(), recorder.logLines.end(), line);
  }
  // A client that got the greeting and sent `commands`.
  std::unique_ptr<Client> Greeted(std::uint16_t port, const std::string& commands = "") {
    auto client = std::make_unique<Client>(port);
    EXPECT_EQ(client->Read(23), kGreeting);
    if (!commands.empty()) client->Send(commands);
    return client;
  }
  // A connection that got the greeting, once the server has taken note that another ended.
  std::unique_ptr<Client> Admitted(std::uint16_t port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      auto client = std::make_unique<Client>(port);
      if (client->Read(23) == kGreeting) return client;
      std::this_thread::sleep_for(20ms);
    }
    return nullptr;
  }
  std::uint16_t Start(PopServerOptions options = {}) {
    options.bindAddress = "127.0.0.1";
    options.port = 0;
    server = std::make_unique<CPopServer>(host);
    server->Start(options);
    return server->WaitUntilListening(5s);
  }

  const std::string text = "Subject: hi\r\n\r\nbody\r\n.\r\n";
  ScratchDirectory directory;
  test::RecordingReporter recorder;
  Host host;
  std::unique_ptr<CMailbox> box;
  std::unique_ptr<CPopServer> server;
};

TEST_F(PopServerTest, ConversationOverTheWire) {
  const std::uint16_t port = Start();
  ASSERT_NE(port, 0);
  const auto client = Greeted(port, "US");
  // Commands split anywhere and several in one segment; an overlong line costs bounded memory.
  client->Send("ER taro\r");
  client->Send("\nPASS secret\r\nSTAT\r\nRETR 1\r\n" + std::string(4 << 20, 'A') + "\r\n");
  const std::string expected =
      "+OK\r\n+OK\r\n+OK 1 " + std::to_string(text.size()) + "\r\n+OK\r\n" + text + "-ERR\r\n";
  EXPECT_EQ(client->Read(expected.size()), expected);
  client->Send("QUIT\r\nNOOP\r\n");
  EXPECT_EQ(client->Read(5), "+OK\r\n");
  EXPECT_TRUE(client->Closed());
  server->Stop();
  for (const char* line :
       {"POP : Server thread began.", "POP : Send greeting message.",
        "POP : Connection request received from 127.0.0.1", "POP : Connection Closed."}) {
    EXPECT_EQ(Count(line), 1) << line;
  }
  EXPECT_EQ(host.ended.load(), 1);
}

// A second login waits until the first connection ends, here without QUIT and so without its
// deletion; the mailbox is free again afterwards.
TEST_F(PopServerTest, ASecondLoginWaitsUntilTheFirstConnectionEnds) {
  const std::uint16_t port = Start();
  auto first = Greeted(port, "USER taro\r\nPASS secret\r\nDELE 1\r\n");
  EXPECT_EQ(first->Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  const auto second = Greeted(port, "USER taro\r\nPASS secret\r\n");
  EXPECT_EQ(second->Read(10, 300ms), "+OK\r\n");
  first.reset();
  EXPECT_EQ(second->Read(5), "+OK\r\n");
  server->Stop();
  EXPECT_EQ(box->MessageCount(), 1);
  EXPECT_TRUE(box->storeLock.TryLock());
  box->storeLock.Unlock();
}

TEST_F(PopServerTest, SilentClientsAreDroppedSoonerBeforeTheLoginAndWithoutTheirDeletions) {
  PopServerOptions options;
  options.loginTimeout = 200ms;
  options.idleTimeout = 1000ms;
  const std::uint16_t port = Start(options);
  const auto named = Greeted(port, "USER taro\r\n");
  EXPECT_EQ(named->Read(5), "+OK\r\n");
  const auto loggedIn = Greeted(port, "USER taro\r\nPASS secret\r\nDELE 1\r\n");
  EXPECT_EQ(loggedIn->Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  EXPECT_TRUE(named->Closed());
  // Logged in, the client has the idle time-out: well past the login time-out it is served.
  std::this_thread::sleep_for(600ms);
  loggedIn->Send("NOOP\r\n");
  EXPECT_EQ(loggedIn->Read(5), "+OK\r\n");
  EXPECT_TRUE(loggedIn->Closed());
  server->Stop();
  EXPECT_EQ(Count("POP : Connection timed out."), 2);
  EXPECT_EQ(box->MessageCount(), 1);
}

// Beyond the limit in all, or from one address, a connection is refused until one ends; a client
// from another address is refused only by the limit in all.
TEST_F(PopServerTest, ConnectionsBeyondTheLimitAreRefusedUntilOneEnds) {
  const struct {
    int all, perAddress;
    std::string refusal, otherAddress;
  } kCases[] = {
      {2, 8, "POP : Too many connections; refused 127.0.0.1.", "-ERR\r\n"},
      {32, 2, "POP : Too many connections from one address; refused 127.0.0.1.", kGreeting}};
  for (const auto& c : kCases) {
    PopServerOptions options;
    options.maxConnections = c.all;
    options.maxConnectionsPerAddress = c.perAddress;
    const std::uint16_t port = Start(options);
    const auto a = Greeted(port), b = Greeted(port);
    Client refused(port);
    EXPECT_EQ(refused.Read(6), "-ERR\r\n");
    EXPECT_TRUE(refused.Closed());
    EXPECT_EQ(Count(c.refusal), 1);
    EXPECT_EQ(FirstReplyFrom("127.0.0.2", port), c.otherAddress);
    a->Send("QUIT\r\n");
    EXPECT_EQ(a->Read(5), "+OK\r\n");
    EXPECT_TRUE(a->Closed());
    EXPECT_NE(Admitted(port), nullptr);  // once one has gone, a newcomer is served again
    server.reset();
  }
}

TEST_F(PopServerTest, WrongPasswordsAreSlowedDownAndACorrectOneIsNot) {
  PopServerOptions options;
  options.firstLoginDelay = 100ms;
  options.maxLoginDelay = 250ms;
  const auto client = Greeted(Start(options), "USER taro\r\n");
  client->Read(5);
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    client->Send("PASS wrong\r\n");
    EXPECT_EQ(client->Read(6), "-ERR\r\n");
    // The answer never comes before the delay; how much later is not asserted.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  }
  client->Send("PASS secret\r\n");
  EXPECT_EQ(client->Read(5), "+OK\r\n");
  EXPECT_EQ(Count("POP : Autorization failed. ( taro )"), 3);
}

TEST_F(PopServerTest, APortInUseIsReportedAndTheProgramGoesOn) {
  CTcpListener occupant;
  ASSERT_EQ(occupant.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  PopServerOptions options;
  options.bindAddress = "127.0.0.1";
  options.port = occupant.Port();
  server = std::make_unique<CPopServer>(host);
  server->Start(options);
  EXPECT_EQ(server->WaitUntilListening(5s), 0);
  EXPECT_EQ(Count("POP : Failed to bind."), 1);
  EXPECT_EQ(recorder.messages,
            std::vector<std::string>{
                "POPサーバが起動できません。他のPOPサーバが動いている可能性があります。"});
}

TEST_F(PopServerTest, StopEndsEverySessionWithoutItsDeletionsWhateverTheClientsDo) {
  // Larger than what the socket buffers take: a client that does not read blocks the send.
  CMailMessage big;
  big.Parse("Subject: big\r\n\r\n" + std::string(16 << 20, 'x') + "\r\n.\r\n");
  ASSERT_EQ(box->AppendMessage(big), 2);
  PopServerOptions options;
  options.firstLoginDelay = 60s;
  options.maxLoginDelay = 60s;
  const std::uint16_t port = Start(options);
  const auto reader = Greeted(port, "USER taro\r\nPASS secret\r\nDELE 1\r\nRETR 2\r\n");
  reader->Read(15);
  const auto waiting = Greeted(port, "USER taro\r\nPASS secret\r\n");
  waiting->Read(5);
  const auto guessing = Greeted(port, "USER taro\r\nPASS wrong\r\n");
  guessing->Read(5);
  // Sending the big message, waiting for the mailbox, and waiting out the failed login.
  std::this_thread::sleep_for(300ms);
  const auto start = std::chrono::steady_clock::now();
  server->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(box->MessageCount(), 2);
  EXPECT_TRUE(box->storeLock.TryLock());
  box->storeLock.Unlock();
  EXPECT_EQ(host.ended.load(), 3);
}

TEST_F(PopServerTest, AnExceptionEndsItsConnectionAndTheServerGoesOn) {
  PopServerOptions options;
  // The connection that ended by the exception no longer counts for its address.
  options.maxConnectionsPerAddress = 1;
  const std::uint16_t port = Start(options);
  host.throwOnLogin = true;
  const auto failing = Greeted(port, "USER taro\r\nPASS secret\r\n");
  EXPECT_EQ(failing->Read(5), "+OK\r\n");
  EXPECT_TRUE(failing->Closed());
  host.throwOnLogin = false;
  const std::unique_ptr<Client> next = Admitted(port);
  ASSERT_NE(next, nullptr);
  next->Send("USER taro\r\nPASS secret\r\nQUIT\r\n");
  EXPECT_EQ(next->Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  server->Stop();
  EXPECT_EQ(Count("APL : Local POP3 connection ended by an exception ( std::bad_alloc )."), 1);
  EXPECT_EQ(host.ended.load(), 2);
}

}  // namespace
}  // namespace qm
