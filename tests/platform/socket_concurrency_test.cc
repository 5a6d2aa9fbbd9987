// Sockets used from several threads, the way the POP3 server and a stopping program use them;
// run under ThreadSanitizer too. Loopback only, ports picked by the system.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

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
  // Runs `blocked` on the owner's thread and shuts `connection` down from this one once it waits.
  template <typename F>
  static void ShutDownWhileBlocked(CTcpConnection& connection, F blocked) {
    std::atomic<bool> started{false};
    std::thread owner([&] {
      started = true;
      blocked();
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(milliseconds(50));
    connection.Shutdown();
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
  ShutDownWhileBlocked(server_,
                       [&] { result = server_.Receive(buffer, sizeof buffer, kPatience); });
  EXPECT_TRUE(result == 0 || result == CTcpConnection::kReceiveFailed) << result;
  EXPECT_TRUE(server_.IsOpen()) << "the owner still closes it";
  EXPECT_EQ(client_.Receive(buffer, 1, kPatience), 0) << "the peer sees the end too";

  // A fresh client that never reads: the server's send fills the buffers and waits.
  CTcpConnection silent, session;
  ASSERT_EQ(silent.Connect("127.0.0.1", listener_.Port(), kPatience), ConnectResult::Connected);
  ASSERT_EQ(listener_.Accept(session, kPatience), AcceptResult::Accepted);
  bool sent = true;
  ShutDownWhileBlocked(session,
                       [&] { sent = session.Send(std::string(64 * 1024 * 1024, 'x'), kPatience); });
  EXPECT_FALSE(sent);
  EXPECT_NE(session.LastError(), ETIMEDOUT);
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

}  // namespace
}  // namespace qm
