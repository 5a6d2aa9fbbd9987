// Sockets used from several threads, the way the POP3 server and a stopping program use them;
// run under ThreadSanitizer too. Loopback only, ports picked by the system.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace qm {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPatience{10000};

class SocketConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.Listen("127.0.0.1", 0, 8), ListenResult::Listening);
    ASSERT_EQ(client_.Connect("127.0.0.1", listener_.Port(), kPatience), ConnectResult::Connected);
    ASSERT_EQ(listener_.Accept(server_, kPatience), AcceptResult::Accepted);
  }
  // Runs `blocked` on the owner's thread and shuts the connection down from this one once it
  // waits.
  template <typename F>
  void ShutDownWhileBlocked(F blocked) {
    std::atomic<bool> started{false};
    std::thread owner([&] {
      started = true;
      blocked();
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(50));
    server_.Shutdown();
    owner.join();
  }

  CTcpListener listener_;
  CTcpConnection client_, server_;
};

// How a stopping program frees a session thread that waits for a silent client or one that does
// not read. The waits have a time-out only so that a failure shows as a wrong result, not a hang.
TEST_F(SocketConcurrencyTest, ShutdownFromAnotherThreadEndsABlockedReceiveOrSend) {
  std::int64_t result = 1;
  char buffer[64];
  ShutDownWhileBlocked([&] { result = server_.Receive(buffer, sizeof buffer, kPatience); });
  EXPECT_TRUE(result == 0 || result == CTcpConnection::kReceiveFailed) << result;
  EXPECT_TRUE(server_.IsOpen()) << "the owner still closes it";
  EXPECT_EQ(client_.Receive(buffer, 1, kPatience), 0) << "the peer sees the end too";

  SetUp();
  bool sent = true;
  ShutDownWhileBlocked([&] { sent = server_.Send(std::string(64 * 1024 * 1024, 'x'), kPatience); });
  EXPECT_FALSE(sent);
  EXPECT_NE(server_.LastError(), ETIMEDOUT);
}

// Shutdown must never reach a descriptor that Close has given back and the system has handed
// out again; ThreadSanitizer also checks how the two share the descriptor.
TEST_F(SocketConcurrencyTest, ShutdownWhileTheOwnerClosesIsHarmless) {
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    while (!stop) server_.Shutdown();
  });
  server_.Close();
  // Likely to reuse the freed descriptor number while Shutdown keeps being called.
  CTcpConnection other;
  CTcpConnection otherServer;
  ASSERT_EQ(other.Connect("127.0.0.1", listener_.Port(), kPatience), ConnectResult::Connected);
  ASSERT_EQ(listener_.Accept(otherServer, kPatience), AcceptResult::Accepted);
  std::this_thread::sleep_for(milliseconds(20));
  stop = true;
  stopper.join();
  ASSERT_TRUE(otherServer.Send("+OK\r\n"));
  char buffer[8];
  EXPECT_EQ(other.Receive(buffer, sizeof buffer, kPatience), 5);
}

// The server's shape: one thread accepts with a short time-out and checks its stop flag in
// between, one thread per connection answers.
TEST(SocketServerConcurrencyTest, AnAcceptLoopServesClientsUntilStopped) {
  CTcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 16), ListenResult::Listening);
  std::atomic<bool> stop{false};
  std::atomic<int> served{0};
  std::thread acceptor([&] {
    std::vector<std::thread> sessions;
    while (!stop) {
      CTcpConnection connection;
      const AcceptResult result = listener.Accept(connection, milliseconds(20));
      if (result == AcceptResult::Failed) break;
      if (result != AcceptResult::Accepted) continue;
      sessions.emplace_back([&served, session = std::move(connection)]() mutable {
        std::string line;
        char buffer[256];
        while (line.find('\n') == std::string::npos) {
          const std::int64_t n = session.Receive(buffer, sizeof buffer, kPatience);
          if (n <= 0) return;
          line.append(buffer, static_cast<std::size_t>(n));
        }
        session.Send("+OK " + line);
        session.ShutdownAndClose();
        ++served;
      });
    }
    for (auto& session : sessions) session.join();
  });

  constexpr int kClients = 6;
  std::vector<std::thread> clients;
  std::vector<std::string> answers(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      CTcpConnection client;
      if (client.Connect("127.0.0.1", listener.Port(), kPatience) != ConnectResult::Connected) {
        return;
      }
      client.Send("client " + std::to_string(i) + "\r\n");
      char buffer[256];
      std::int64_t n;
      while ((n = client.Receive(buffer, sizeof buffer, kPatience)) > 0) {
        answers[i].append(buffer, static_cast<std::size_t>(n));
      }
    });
  }
  for (auto& client : clients) client.join();
  stop = true;
  acceptor.join();

  EXPECT_EQ(served.load(), kClients);
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(answers[i], "+OK client " + std::to_string(i) + "\r\n");
  }
}

}  // namespace
}  // namespace qm
