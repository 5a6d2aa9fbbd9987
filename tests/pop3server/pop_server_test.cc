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

#include "platform/report.h"
#include "platform/socket.h"
#include "store/mailbox.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

class Recorder : public IReporter {
 public:
  void Log(std::string_view message) override {
    std::lock_guard lock(mutex);
    lines.emplace_back(message);
  }
  void ShowMessage(std::string_view message) override {
    std::lock_guard lock(mutex);
    messages.emplace_back(message);
  }
  bool Logged(const std::string& line) { return Count(line) > 0; }
  long Count(const std::string& line) {
    std::lock_guard lock(mutex);
    return std::count(lines.begin(), lines.end(), line);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
  std::vector<std::string> messages;
};

class Host : public IPopServerHost {
 public:
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override {
    if (throwOnLogin) throw std::bad_alloc();
    index = 0;
    return user == "taro" && password == "secret" ? box : nullptr;
  }
  void LoginAccepted(CMailbox&, int) override {}
  void ConnectionEnded() override { ++ended; }
  CMailbox* box = nullptr;
  std::atomic<int> ended{0};
  // As when memory runs out in the middle of a command.
  std::atomic<bool> throwOnLogin{false};
};

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
    dir = std::filesystem::temp_directory_path() /
          ("qm_popsrv_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    SetReporter(&recorder);
    box = CMailbox::CreateMain((dir / "inbox").string());
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
    std::filesystem::remove_all(dir);
  }
  // A connection that got the greeting, once the server has taken note that another ended.
  std::unique_ptr<Client> Admitted(std::uint16_t port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      auto client = std::make_unique<Client>(port);
      if (client->Read(23) == "+OK POP3 server ready\r\n") return client;
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
  std::filesystem::path dir;
  Recorder recorder;
  Host host;
  std::unique_ptr<CMailbox> box;
  std::unique_ptr<CPopServer> server;
};

TEST_F(PopServerTest, ConversationOverTheWire) {
  const std::uint16_t port = Start();
  ASSERT_NE(port, 0);
  Client client(port);
  EXPECT_EQ(client.Read(23), "+OK POP3 server ready\r\n");
  // Commands split anywhere and several in one segment.
  client.Send("US");
  client.Send("ER taro\r");
  client.Send("\nPASS secret\r\nSTAT\r\nRETR 1\r\n");
  const std::string stat = "+OK 1 " + std::to_string(text.size()) + "\r\n";
  const std::string expected = "+OK\r\n+OK\r\n" + stat + "+OK\r\n" + text;
  EXPECT_EQ(client.Read(expected.size()), expected);
  client.Send("QUIT\r\nNOOP\r\n");
  EXPECT_EQ(client.Read(5), "+OK\r\n");
  EXPECT_TRUE(client.Closed());
  server->Stop();
  EXPECT_TRUE(recorder.Logged("POP : Server thread began."));
  EXPECT_TRUE(recorder.Logged("POP : Connection request received from 127.0.0.1"));
  EXPECT_TRUE(recorder.Logged("POP : Send greeting message."));
  EXPECT_TRUE(recorder.Logged("POP : Connection Closed."));
  EXPECT_EQ(host.ended.load(), 1);
}

TEST_F(PopServerTest, ASecondLoginWaitsUntilTheFirstConnectionEnds) {
  const std::uint16_t port = Start();
  Client first(port);
  first.Read(23);
  first.Send("USER taro\r\nPASS secret\r\n");
  EXPECT_EQ(first.Read(10), "+OK\r\n+OK\r\n");
  Client second(port);
  second.Read(23);
  second.Send("USER taro\r\nPASS secret\r\n");
  EXPECT_EQ(second.Read(10, 300ms), "+OK\r\n");
  first.Send("QUIT\r\n");
  first.Read(5);
  EXPECT_EQ(second.Read(5), "+OK\r\n");
}

TEST_F(PopServerTest, DisconnectWithoutQuitKeepsTheMessages) {
  const std::uint16_t port = Start();
  {
    Client client(port);
    client.Read(23);
    client.Send("USER taro\r\nPASS secret\r\nDELE 1\r\n");
    client.Read(15);
  }
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
  Client named(port);
  named.Read(23);
  named.Send("USER taro\r\n");
  EXPECT_EQ(named.Read(5), "+OK\r\n");
  Client loggedIn(port);
  loggedIn.Read(23);
  loggedIn.Send("USER taro\r\nPASS secret\r\nDELE 1\r\n");
  EXPECT_EQ(loggedIn.Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  EXPECT_TRUE(named.Closed());
  // Logged in, the client has the idle time-out: well past the login time-out it is served.
  std::this_thread::sleep_for(600ms);
  loggedIn.Send("NOOP\r\n");
  EXPECT_EQ(loggedIn.Read(5), "+OK\r\n");
  EXPECT_TRUE(loggedIn.Closed());
  server->Stop();
  EXPECT_EQ(recorder.Count("POP : Connection timed out."), 2);
  EXPECT_EQ(box->MessageCount(), 1);
}

struct Limit {
  const char* name;
  int maxConnections;
  int maxConnectionsPerAddress;
  std::string refusal;
  // What a client from another address then gets first.
  std::string otherAddress;
};

void PrintTo(const Limit& limit, std::ostream* os) { *os << limit.name; }

class ConnectionLimitTest : public PopServerTest, public ::testing::WithParamInterface<Limit> {};

TEST_P(ConnectionLimitTest, ConnectionsBeyondTheLimitAreRefusedUntilOneEnds) {
  PopServerOptions options;
  options.maxConnections = GetParam().maxConnections;
  options.maxConnectionsPerAddress = GetParam().maxConnectionsPerAddress;
  const std::uint16_t port = Start(options);
  Client a(port);
  Client b(port);
  EXPECT_EQ(a.Read(23), "+OK POP3 server ready\r\n");
  EXPECT_EQ(b.Read(23), "+OK POP3 server ready\r\n");
  Client c(port);
  EXPECT_EQ(c.Read(6), "-ERR\r\n");
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(recorder.Count(GetParam().refusal), 1);
  EXPECT_EQ(FirstReplyFrom("127.0.0.2", port), GetParam().otherAddress);
  a.Send("QUIT\r\n");
  a.Read(5);
  a.Closed();
  // Once one has gone, a newcomer is served again.
  EXPECT_NE(Admitted(port), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ConnectionLimitTest,
    ::testing::Values(Limit{"InAll", 2, 8, "POP : Too many connections; refused 127.0.0.1.",
                            "-ERR\r\n"},
                      Limit{"FromOneAddress", 32, 2,
                            "POP : Too many connections from one address; refused 127.0.0.1.",
                            "+OK POP3 server ready\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(PopServerTest, WrongPasswordsAreSlowedDownAndACorrectOneIsNot) {
  PopServerOptions options;
  options.firstLoginDelay = 100ms;
  options.maxLoginDelay = 250ms;
  const std::uint16_t port = Start(options);
  Client client(port);
  client.Read(23);
  client.Send("USER taro\r\n");
  client.Read(5);
  for (int i = 0; i < 3; ++i) {
    const auto start = std::chrono::steady_clock::now();
    client.Send("PASS wrong\r\n");
    EXPECT_EQ(client.Read(6), "-ERR\r\n");
    // The answer never comes before the delay; how much later is not asserted.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  }
  client.Send("PASS secret\r\n");
  EXPECT_EQ(client.Read(5), "+OK\r\n");
  EXPECT_TRUE(recorder.Logged("POP : Autorization failed. ( taro )"));
}

TEST_F(PopServerTest, AnOverlongLineCostsBoundedMemoryAndGetsAnError) {
  const std::uint16_t port = Start();
  Client client(port);
  client.Read(23);
  const std::string flood(4 << 20, 'A');
  client.Send(flood);
  client.Send("\r\nNOOP\r\n");
  EXPECT_EQ(client.Read(12), "-ERR\r\n-ERR\r\n");
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
  EXPECT_TRUE(recorder.Logged("POP : Failed to bind."));
  ASSERT_EQ(recorder.messages.size(), 1u);
  EXPECT_EQ(recorder.messages[0],
            "POPサーバが起動できません。他のPOPサーバが動いている可能性があります。");
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
  Client reader(port);
  reader.Read(23);
  reader.Send("USER taro\r\nPASS secret\r\nDELE 1\r\nRETR 2\r\n");
  reader.Read(15);
  Client waiting(port);
  waiting.Read(23);
  waiting.Send("USER taro\r\nPASS secret\r\n");
  waiting.Read(5);
  Client guessing(port);
  guessing.Read(23);
  guessing.Send("USER taro\r\nPASS wrong\r\n");
  guessing.Read(5);
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
  Client failing(port);
  failing.Read(23);
  failing.Send("USER taro\r\nPASS secret\r\n");
  EXPECT_EQ(failing.Read(5), "+OK\r\n");
  EXPECT_TRUE(failing.Closed());
  host.throwOnLogin = false;
  const std::unique_ptr<Client> next = Admitted(port);
  ASSERT_NE(next, nullptr);
  next->Send("USER taro\r\nPASS secret\r\nQUIT\r\n");
  EXPECT_EQ(next->Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  server->Stop();
  EXPECT_TRUE(
      recorder.Logged("APL : Local POP3 connection ended by an exception ( std::bad_alloc )."));
  EXPECT_EQ(host.ended.load(), 2);
}

}  // namespace
}  // namespace qm
