// What the socket layer decides, on 127.0.0.1 with ports the system picks: time-outs, the errors
// it reports, sends that survive a peer's end, and the addresses it refuses.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kPatience{10000};

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(listener_.Listen("127.0.0.1", 0, 8), ListenResult::Listening);
    ASSERT_EQ(client_.Connect("127.0.0.1", listener_.Port(), kPatience), ConnectResult::Connected);
    ASSERT_EQ(listener_.Accept(server_, kPatience), AcceptResult::Accepted);
  }
  CTcpListener listener_;
  CTcpConnection client_, server_;
};

TEST_F(SocketTest, WaitsTimeOutAndLeaveTheConnectionUsable) {
  CTcpConnection none;
  EXPECT_EQ(listener_.Accept(none, milliseconds(50)), AcceptResult::TimedOut);
  char buffer[16];
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, milliseconds(0)),
            CTcpConnection::kReceiveTimedOut);
  EXPECT_EQ(client_.LastError(), ETIMEDOUT);
  // More than the buffers of both sides hold, to a peer that does not read.
  EXPECT_FALSE(client_.Send(std::string(64 * 1024 * 1024, 'x'), milliseconds(200)));
  EXPECT_EQ(client_.LastError(), ETIMEDOUT);
  ASSERT_TRUE(client_.Send("+OK\r\n"));
  EXPECT_GT(server_.Receive(buffer, sizeof buffer, kPatience), 0);
}

// A peer that disconnects must cost this side an error result, not the process (SIGPIPE); the
// first send after the close may still be taken, the peer's reset makes a later one fail.
TEST_F(SocketTest, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
  server_.Close();
  char byte;
  ASSERT_EQ(client_.Receive(&byte, 1, kPatience), 0);
  bool failed = false;
  for (int attempt = 0; attempt < 1000 && !failed; ++attempt) {
    failed = !client_.Send("NOOP\r\n", kPatience);
    if (!failed) std::this_thread::sleep_for(milliseconds(1));
  }
  ASSERT_TRUE(failed);
  EXPECT_TRUE(client_.LastError() == EPIPE || client_.LastError() == ECONNRESET)
      << client_.LastError();
}

// A client may send more after its last command. Closing over those unread bytes would make the
// system reset the connection and drop the reply still on its way; ShutdownAndClose delivers all
// of it, sent in many partial writes, and then a clean end.
TEST_F(SocketTest, ShutdownAndCloseDeliversTheWholeReplyDespiteUnreadInput) {
  ASSERT_TRUE(client_.Send("QUIT\r\nNOOP\r\nNOOP\r\n"));
  char head[6];
  ASSERT_EQ(server_.Receive(head, sizeof head, kPatience), 6);
  std::string reply(8 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>(i * 131 + i / 4099);
  std::thread serverThread([&] {
    EXPECT_TRUE(server_.Send(reply, kPatience)) << server_.LastError();
    server_.ShutdownAndClose();
  });
  std::string received;
  std::vector<char> piece(16 * 1024);
  std::int64_t n;
  while ((n = client_.Receive(piece.data(), piece.size(), kPatience)) > 0) {
    received.append(piece.data(), static_cast<std::size_t>(n));
    std::this_thread::sleep_for(milliseconds(1));  // slowly, so that much is still queued
  }
  serverThread.join();
  EXPECT_EQ(n, 0) << "error " << client_.LastError();
  EXPECT_TRUE(received == reply) << received.size();
}

// The server closes first, as it does after QUIT, so its side lingers; a restarted server must
// still get the port.
TEST_F(SocketTest, ARestartedListenerGetsItsPortBack) {
  server_.ShutdownAndClose();
  client_.Close();
  const std::uint16_t port = listener_.Port();
  listener_.Close();
  CTcpListener restarted;
  ASSERT_EQ(restarted.Listen("LocalHost", port, 8), ListenResult::Listening);
  EXPECT_EQ(restarted.Port(), port);
}

TEST(SocketRefusalTest, BadArgumentsAndUnopenedSocketsFailWithClearErrors) {
  CTcpListener listener;
  int error = 0;
  for (auto [address, backlog] : {std::pair{"mail.example", 5},
                                  {"256.0.0.1", 5},
                                  {"127.0.0", 5},
                                  {"127.0.0.1.1", 5},
                                  {" 127.0.0.1", 5},
                                  {"127.0.0.1:8110", 5},
                                  {"::1", 5},
                                  {"localhost.", 5},
                                  {"127.0.0.1", 0},
                                  {"localhost", -1}}) {
    EXPECT_EQ(listener.Listen(address, 0, backlog, &error), ListenResult::BadArgument) << address;
    EXPECT_EQ(error, EINVAL);
  }
  EXPECT_EQ(listener.Listen(std::string("127.0.0.1\0x", 11), 0, 5), ListenResult::BadArgument);
  // A taken port fails at bind; a closed one refuses the connection.
  CTcpListener first;
  ASSERT_EQ(first.Listen("127.0.0.1", 0, 8), ListenResult::Listening);
  const std::uint16_t port = first.Port();
  EXPECT_EQ(listener.Listen("127.0.0.1", port, 8, &error), ListenResult::BindFailed);
  EXPECT_EQ(error, EADDRINUSE);
  first.Close();
  EXPECT_EQ(CTcpConnection().Connect("127.0.0.1", port, kPatience, &error), ConnectResult::Failed);
  EXPECT_EQ(error, ECONNREFUSED);
  CTcpConnection connection;
  EXPECT_EQ(listener.Accept(connection, milliseconds(0), &error), AcceptResult::Failed);
  EXPECT_EQ(error, EBADF);
  EXPECT_FALSE(connection.Send("x"));
  EXPECT_EQ(connection.LastError(), EBADF);
  char byte;
  EXPECT_EQ(connection.Receive(&byte, 0, milliseconds(0)), CTcpConnection::kReceiveFailed);
  EXPECT_EQ(connection.Connect(std::string("127.0.0.1\0evil", 14), 1, kPatience, &error),
            ConnectResult::Failed);
  EXPECT_EQ(error, EINVAL);
  // Only loopback addresses keep the local server to this machine.
  for (const char* address : {"127.0.0.1", "127.1.2.3", "localhost", "LOCALHOST"}) {
    EXPECT_TRUE(CTcpListener::IsLoopback(address)) << address;
  }
  for (const char* address :
       {"", "0.0.0.0", "192.168.1.2", "128.0.0.1", "126.255.255.255", "127.0.0.1 "}) {
    EXPECT_FALSE(CTcpListener::IsLoopback(address)) << address;
  }
}

// A helper server such as a DNS server listens on the port for TCP and UDP alike.
TEST(SocketFreePortTest, AFreePortTakesBothKindsAndABoundUdpSocketShows) {
  const std::uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(LoopbackUdpPortInUse(port));
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(LoopbackUdpPortInUse(port));
  close(udp);
  CTcpListener listener;
  EXPECT_EQ(listener.Listen("127.0.0.1", port, 8), ListenResult::Listening);
}

}  // namespace
}  // namespace qm
