// The server over real loopback: limits against hostile or forgetful clients, and a full stop.
#include "pop3server/pop_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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

const std::string kGreeting = "+OK POP3 server ready\r\n", kLogin = "USER taro\r\nPASS secret\r\n";

struct Client {
  explicit Client(std::uint16_t port, const std::string& commands = "") {
    EXPECT_EQ(socket.Connect("127.0.0.1", port, 2s), ConnectResult::Connected);
    first = Read(23);
    EXPECT_TRUE(commands.empty() || socket.Send(commands));
  }
  std::string Read(std::size_t expected, std::chrono::milliseconds timeout = 5s) {
    std::string got;
    char buffer[4096];
    for (std::int64_t n;
         got.size() < expected && (n = socket.Receive(buffer, sizeof buffer, timeout)) > 0;)
      got.append(buffer, static_cast<std::size_t>(n));
    return got;
  }
  bool Closed() {
    char c;
    return socket.Receive(&c, 1, 5s) == 0;
  }
  CTcpConnection socket;
  std::string first;  // the greeting, or a refusal
};

class PopServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetReporter(&recorder);
    box = CMailbox::CreateMain(directory.File("inbox"));
    ASSERT_EQ(box->Load(), 1);
    CMailMessage m;
    m.Parse("Subject: hi\r\n\r\nbody\r\n.\r\n");
    box->AppendMessage(m);
    host.box = box.get();
  }
  void TearDown() override { SetReporter(nullptr); }
  long Count(const std::string& line) {
    std::lock_guard lock(recorder.mutex);
    return std::count(recorder.logLines.begin(), recorder.logLines.end(), line);
  }
  // A client that got the greeting, once the server has taken note that another ended.
  std::unique_ptr<Client> Admitted(std::uint16_t port) {
    for (int attempt = 0; attempt < 50; ++attempt, std::this_thread::sleep_for(20ms))
      if (auto client = std::make_unique<Client>(port); client->first == kGreeting) return client;
    return nullptr;
  }
  std::uint16_t Start(PopServerOptions options = {.bindAddress = "127.0.0.1"},
                      std::uint16_t port = 0) {
    options.port = port;
    server = std::make_unique<CPopServer>(host);
    server->Start(options);
    return server->WaitUntilListening(5s);
  }
  ScratchDirectory directory;
  test::RecordingReporter recorder;
  Host host;
  std::unique_ptr<CMailbox> box;
  std::unique_ptr<CPopServer> server;
};

// Beyond the limit in all, or from one address, a connection is refused until one ends.
TEST_F(PopServerTest, ConnectionsBeyondTheLimitAreRefusedUntilOneEnds) {
  for (auto [all, perAddress] : {std::pair{2, 8}, {32, 2}}) {
    const std::uint16_t port = Start({.bindAddress = "127.0.0.1",
                                      .maxConnections = all,
                                      .maxConnectionsPerAddress = perAddress});
    auto a = std::make_unique<Client>(port);
    Client b(port), refused(port);
    EXPECT_EQ(refused.first, "-ERR\r\n");
    EXPECT_TRUE(refused.Closed());
    a.reset();
    EXPECT_NE(Admitted(port), nullptr);
    server.reset();
  }
  EXPECT_TRUE(Count("POP : Too many connections; refused 127.0.0.1.") &&
              Count("POP : Too many connections from one address; refused 127.0.0.1."));
}

TEST_F(PopServerTest, WrongPasswordsAreSlowedDownAndAPortInUseIsReported) {
  Client client(
      Start({.bindAddress = "127.0.0.1", .firstLoginDelay = 100ms, .maxLoginDelay = 250ms}),
      "USER taro\r\n");
  client.Read(5);
  for (int i = 0; i < 2; ++i) {  // never sooner; later is not asserted
    const auto start = std::chrono::steady_clock::now();
    client.socket.Send("PASS wrong\r\n");
    EXPECT_EQ(client.Read(6), "-ERR\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  }
  client.socket.Send("PASS secret\r\n");
  EXPECT_EQ(client.Read(5), "+OK\r\n");
  CTcpListener occupant;
  ASSERT_EQ(occupant.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  EXPECT_EQ(Start({.bindAddress = "127.0.0.1"}, occupant.Port()), 0);
  EXPECT_EQ(Count("POP : Failed to bind."), 1);
  EXPECT_EQ(recorder.messages,
            std::vector<std::string>{
                "POPサーバが起動できません。他のPOPサーバが動いている可能性があります。"});
}

TEST_F(PopServerTest, StopEndsEverySessionWithoutItsDeletionsWhateverTheClientsDo) {
  CMailMessage big;  // more than the socket buffers take: a client that does not read blocks
  big.Parse("Subject: big\r\n\r\n" + std::string(16 << 20, 'x') + "\r\n.\r\n");
  ASSERT_EQ(box->AppendMessage(big), 2);
  const std::uint16_t port =
      Start({.bindAddress = "127.0.0.1", .firstLoginDelay = 60s, .maxLoginDelay = 60s});
  Client reader(port, kLogin + "DELE 1\r\nRETR 2\r\n"), waiting(port, kLogin),
      guessing(port, "USER taro\r\nPASS wrong\r\n");
  reader.Read(15), waiting.Read(5), guessing.Read(5);
  std::this_thread::sleep_for(300ms);
  server->Stop();  // returns: every session ended, whatever its client does
  EXPECT_TRUE(box->MessageCount() == 2 && box->storeLock.TryLock() && box->storeLock.Unlock());
  EXPECT_EQ(host.ended.load(), 3);
}

TEST_F(PopServerTest, AnExceptionEndsItsConnectionAndTheServerGoesOn) {
  // The failed connection no longer counts for its address.
  const std::uint16_t port = Start({.bindAddress = "127.0.0.1", .maxConnectionsPerAddress = 1});
  host.throwOnLogin = true;
  Client failing(port, kLogin);
  EXPECT_EQ(failing.Read(5), "+OK\r\n");
  EXPECT_TRUE(failing.Closed());
  host.throwOnLogin = false;
  const std::unique_ptr<Client> next = Admitted(port);
  ASSERT_TRUE(next && next->socket.Send(kLogin + "QUIT\r\n"));
  EXPECT_EQ(next->Read(15), "+OK\r\n+OK\r\n+OK\r\n");
  server->Stop();
  EXPECT_EQ(Count("APL : Local POP3 connection ended by an exception ( std::bad_alloc )."), 1);
  EXPECT_EQ(host.ended.load(), 2);
}

}  // namespace
}  // namespace qm
