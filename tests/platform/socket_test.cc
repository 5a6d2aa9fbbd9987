// Real sockets, on 127.0.0.1 only, with ports the system picks.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

using std::chrono::milliseconds;

// Long enough never to run out on a loaded machine; things that should succeed never wait it out.
constexpr milliseconds kPatience{10000};

}  // namespace

// Results print by name in failure messages.
static void PrintTo(ListenResult result, std::ostream* out) {
  static constexpr const char* kNames[] = {"Listening", "BadArgument", "SocketFailed", "BindFailed",
                                           "ListenFailed"};
  *out << kNames[static_cast<int>(result)];
}
static void PrintTo(ConnectResult result, std::ostream* out) {
  static constexpr const char* kNames[] = {"Connected", "HostNotFound", "TimedOut", "Failed"};
  *out << kNames[static_cast<int>(result)];
}
static void PrintTo(AcceptResult result, std::ostream* out) {
  static constexpr const char* kNames[] = {"Accepted", "TimedOut", "Failed"};
  *out << kNames[static_cast<int>(result)];
}

namespace {

// Every byte value, NUL and CR LF included, in an order that shows reordering or loss.
std::string PatternBytes(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (auto& byte : bytes) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// Reads no more than `size` bytes: until they have come or the stream ends or fails; `pieces`
// counts the reads.
std::string ReceiveExactly(CTcpConnection& connection, std::size_t size, int* pieces = nullptr) {
  std::string received;
  std::vector<char> buffer(64 * 1024);
  while (received.size() < size) {
    const std::size_t wanted = std::min(buffer.size(), size - received.size());
    const std::int64_t n = connection.Receive(buffer.data(), wanted, kPatience);
    if (n <= 0) break;
    received.append(buffer.data(), static_cast<std::size_t>(n));
    if (pieces != nullptr) ++*pieces;
  }
  return received;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int error = 0;
    ASSERT_EQ(listener_.Listen("127.0.0.1", 0, 8, &error), ListenResult::Listening) << error;
    ASSERT_NE(listener_.Port(), 0);
  }

  // A connected pair: `client_` made by Connect, `server_` by Accept.
  void ConnectPair() {
    int error = 0;
    ASSERT_EQ(client_.Connect("127.0.0.1", listener_.Port(), kPatience, &error),
              ConnectResult::Connected)
        << error;
    ASSERT_EQ(listener_.Accept(server_, kPatience, &error), AcceptResult::Accepted) << error;
  }

  CTcpListener listener_;
  CTcpConnection client_;
  CTcpConnection server_;
};

TEST_F(SocketTest, BytesArriveExactlyInBothDirections) {
  ConnectPair();
  ASSERT_TRUE(client_.IsOpen());
  ASSERT_TRUE(server_.IsOpen());

  const std::string request = "USER someone\r\n" + std::string("\0\x01\xff.\r\n", 6);
  ASSERT_TRUE(client_.Send(request));
  EXPECT_EQ(ReceiveExactly(server_, request.size()), request);

  const std::string reply = PatternBytes(1000);
  ASSERT_TRUE(server_.Send(reply));
  EXPECT_EQ(ReceiveExactly(client_, reply.size()), reply);

  client_.Close();
  EXPECT_FALSE(client_.IsOpen());
  char byte;
  EXPECT_EQ(server_.Receive(&byte, 1, kPatience), 0) << "a closed peer reads as the end";
}

TEST_F(SocketTest, LoopbackPeerIs127001OnBothSides) {
  ConnectPair();
  for (const CTcpConnection* side : {&client_, &server_}) {
    const NetAddress& peer = side->PeerAddress();
    EXPECT_TRUE(peer.isIPv4);
    EXPECT_EQ(peer.ipv4, (std::array<std::uint8_t, 4>{127, 0, 0, 1}));
    EXPECT_EQ(peer.text, "127.0.0.1");
  }
  server_.Close();
  EXPECT_EQ(server_.PeerAddress().text, "") << "a closed connection has no peer";
}

// Far more than the system buffers hold, so it goes out in many partial sends and arrives in
// many reads; a lost, doubled or reordered piece shows in the comparison.
TEST_F(SocketTest, FiveMegabytesArriveIntactInPieces) {
  ConnectPair();
  const std::string payload = PatternBytes(5 * 1024 * 1024);
  bool sent = false;
  std::thread sender([&] { sent = server_.Send(payload, kPatience); });
  int pieces = 0;
  const std::string received = ReceiveExactly(client_, payload.size(), &pieces);
  sender.join();
  EXPECT_TRUE(sent) << server_.LastError();
  ASSERT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload);
  EXPECT_GT(pieces, 1);
}

TEST_F(SocketTest, AcceptTimesOutWithoutClientAndStillAcceptsLater) {
  CTcpConnection connection;
  int error = 0;
  EXPECT_EQ(listener_.Accept(connection, milliseconds(50), &error), AcceptResult::TimedOut);
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(listener_.Accept(connection, milliseconds(0), &error), AcceptResult::TimedOut);
  ConnectPair();
}

TEST_F(SocketTest, ReceiveTimesOutOnSilentPeerAndConnectionStaysUsable) {
  ConnectPair();
  char buffer[16];
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, milliseconds(50)),
            CTcpConnection::kReceiveTimedOut);
  EXPECT_EQ(client_.LastError(), ETIMEDOUT);
  EXPECT_EQ(client_.Receive(buffer, sizeof buffer, milliseconds(0)),
            CTcpConnection::kReceiveTimedOut);
  ASSERT_TRUE(server_.Send("+OK\r\n"));
  EXPECT_EQ(ReceiveExactly(client_, 5), "+OK\r\n");
}

TEST_F(SocketTest, ConnectToAClosedPortIsRefused) {
  const std::uint16_t port = listener_.Port();
  listener_.Close();
  EXPECT_EQ(listener_.Port(), 0);
  int error = 0;
  EXPECT_EQ(client_.Connect("127.0.0.1", port, kPatience, &error), ConnectResult::Failed);
  EXPECT_EQ(error, ECONNREFUSED);
  EXPECT_EQ(client_.LastError(), ECONNREFUSED);
  EXPECT_FALSE(client_.IsOpen());
}

TEST_F(SocketTest, ASecondListenerOnTheSamePortFailsAtBind) {
  CTcpListener second;
  int error = 0;
  EXPECT_EQ(second.Listen("127.0.0.1", listener_.Port(), 8, &error), ListenResult::BindFailed);
  EXPECT_EQ(error, EADDRINUSE);
  EXPECT_FALSE(second.IsListening());
  EXPECT_EQ(second.Port(), 0);
}

// The server closes first, as it does after QUIT, so its side of the connection lingers
// after the close; a restarted server must still get the port.
TEST_F(SocketTest, ARestartedListenerGetsItsPortBack) {
  ConnectPair();
  ASSERT_TRUE(server_.Send("+OK bye\r\n"));
  server_.Close();
  EXPECT_EQ(ReceiveExactly(client_, 100), "+OK bye\r\n");
  client_.Close();
  const std::uint16_t port = listener_.Port();
  listener_.Close();

  CTcpListener restarted;
  int error = 0;
  ASSERT_EQ(restarted.Listen("127.0.0.1", port, 8, &error), ListenResult::Listening) << error;
  EXPECT_EQ(restarted.Port(), port);
}

// A helper server such as a DNS server listens on the port for TCP and UDP alike.
TEST(SocketFreePortTest, AFreePortTakesBothKindsAndABoundUdpSocketShows) {
  const std::uint16_t port = FreeLoopbackPort();
  ASSERT_NE(port, 0);
  EXPECT_FALSE(LoopbackUdpPortInUse(port));
  CTcpListener listener;
  ASSERT_EQ(listener.Listen("127.0.0.1", port, 8), ListenResult::Listening);
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(LoopbackUdpPortInUse(port));
  close(udp);
  EXPECT_FALSE(LoopbackUdpPortInUse(port));
}

TEST(SocketListenTest, OnlyLoopbackAddressesKeepTheServerToThisMachine) {
  for (const char* address : {"127.0.0.1", "127.1.2.3", "localhost", "LOCALHOST"}) {
    EXPECT_TRUE(CTcpListener::IsLoopback(address)) << address;
  }
  for (const char* address : {"", "0.0.0.0", "192.168.1.2", "128.0.0.1", "126.255.255.255",
                              "mail.example", "127.0.0.1 "}) {
    EXPECT_FALSE(CTcpListener::IsLoopback(address)) << address;
  }
}

TEST(SocketListenTest, LocalhostMeansTheLoopbackInterfaceInAnySpelling) {
  for (const char* name : {"localhost", "LocalHost"}) {
    SCOPED_TRACE(name);
    CTcpListener local;
    int error = 0;
    ASSERT_EQ(local.Listen(name, 0, 1, &error), ListenResult::Listening) << error;
    CTcpConnection client;
    ASSERT_EQ(client.Connect("127.0.0.1", local.Port(), kPatience, &error),
              ConnectResult::Connected)
        << error;
    CTcpConnection server;
    EXPECT_EQ(local.Accept(server, kPatience, &error), AcceptResult::Accepted) << error;
  }
}

// A peer that disconnects must cost this side an error result, not the process (SIGPIPE).
TEST_F(SocketTest, SendingToAClosedPeerFailsWithoutKillingTheProcess) {
  ConnectPair();
  server_.Close();
  char byte;
  ASSERT_EQ(client_.Receive(&byte, 1, kPatience), 0);
  // The first send after the close may still be taken; the peer's reset makes a later one fail.
  bool failed = false;
  for (int attempt = 0; attempt < 1000 && !failed; ++attempt) {
    failed = !client_.Send("NOOP\r\n", kPatience);
    if (!failed) std::this_thread::sleep_for(milliseconds(1));
  }
  ASSERT_TRUE(failed);
  EXPECT_TRUE(client_.LastError() == EPIPE || client_.LastError() == ECONNRESET)
      << client_.LastError();
}

TEST_F(SocketTest, SendTimesOutWhenThePeerStopsReading) {
  ConnectPair();
  // More than the buffers of both sides can hold.
  const std::string payload(64 * 1024 * 1024, 'x');
  EXPECT_FALSE(client_.Send(payload, milliseconds(200)));
  EXPECT_EQ(client_.LastError(), ETIMEDOUT);
}

// A client may send more after its last command. Closing over those unread bytes would make
// the system reset the connection and drop the reply still on its way; ShutdownAndClose must
// deliver all of it and then a clean end.
TEST_F(SocketTest, ShutdownAndCloseDeliversTheWholeReplyDespiteUnreadInput) {
  ConnectPair();
  ASSERT_TRUE(client_.Send("QUIT\r\nNOOP\r\nNOOP\r\n"));
  ASSERT_EQ(ReceiveExactly(server_, 6), "QUIT\r\n") << "the rest is left unread";

  const std::string reply = PatternBytes(8 * 1024 * 1024);
  std::thread serverThread([&] {
    EXPECT_TRUE(server_.Send(reply, kPatience)) << server_.LastError();
    server_.ShutdownAndClose();
    EXPECT_FALSE(server_.IsOpen());
  });
  // Read slowly, so that much of the reply is still queued on the server side when it closes.
  std::string received;
  std::vector<char> piece(16 * 1024);
  std::int64_t n;
  while ((n = client_.Receive(piece.data(), piece.size(), kPatience)) > 0) {
    received.append(piece.data(), static_cast<std::size_t>(n));
    std::this_thread::sleep_for(milliseconds(1));
  }
  serverThread.join();
  EXPECT_EQ(n, 0) << "error " << client_.LastError();
  ASSERT_EQ(received.size(), reply.size());
  EXPECT_TRUE(received == reply);
}

TEST_F(SocketTest, AMovedConnectionKeepsWorkingAndLeavesTheSourceClosed) {
  ConnectPair();
  CTcpConnection moved(std::move(server_));
  EXPECT_FALSE(server_.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
  EXPECT_EQ(moved.PeerAddress().text, "127.0.0.1");
  CTcpConnection assigned;
  assigned = std::move(moved);
  EXPECT_FALSE(moved.IsOpen());
  ASSERT_TRUE(assigned.Send("+OK\r\n"));
  EXPECT_EQ(ReceiveExactly(client_, 5), "+OK\r\n");

  CTcpListener movedListener(std::move(listener_));
  EXPECT_FALSE(listener_.IsListening());
  EXPECT_NE(movedListener.Port(), 0);
  CTcpConnection second;
  ASSERT_EQ(second.Connect("127.0.0.1", movedListener.Port(), kPatience), ConnectResult::Connected);
  EXPECT_EQ(movedListener.Accept(assigned, kPatience), AcceptResult::Accepted);
}

TEST(SocketUnopenedTest, CallsOnNothingFailWithClearErrors) {
  CTcpConnection connection;
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_FALSE(connection.Send("x"));
  EXPECT_EQ(connection.LastError(), EBADF);
  char byte;
  EXPECT_EQ(connection.Receive(&byte, 1, milliseconds(0)), CTcpConnection::kReceiveFailed);
  EXPECT_EQ(connection.LastError(), EBADF);
  connection.Shutdown();
  connection.ShutdownAndClose();
  connection.Close();

  CTcpListener listener;
  EXPECT_FALSE(listener.IsListening());
  int error = 0;
  EXPECT_EQ(listener.Accept(connection, milliseconds(0), &error), AcceptResult::Failed);
  EXPECT_EQ(error, EBADF);

  EXPECT_EQ(connection.Connect("", 1, kPatience, &error), ConnectResult::Failed);
  EXPECT_EQ(error, EINVAL);
  EXPECT_EQ(connection.Connect(std::string("127.0.0.1\0evil", 14), 1, kPatience, &error),
            ConnectResult::Failed);
  EXPECT_EQ(error, EINVAL);
}

TEST_F(SocketTest, AnEmptyReceiveBufferIsRefused) {
  ConnectPair();
  char byte;
  EXPECT_EQ(server_.Receive(&byte, 0, milliseconds(0)), CTcpConnection::kReceiveFailed);
  EXPECT_EQ(server_.LastError(), EINVAL);
  EXPECT_EQ(server_.Receive(nullptr, 1, milliseconds(0)), CTcpConnection::kReceiveFailed);
  EXPECT_EQ(server_.LastError(), EINVAL);
  EXPECT_TRUE(server_.IsOpen());
}

struct BadListenCase {
  std::string address;
  int backlog;
};

class SocketBadListenTest : public ::testing::TestWithParam<BadListenCase> {};

TEST_P(SocketBadListenTest, IsRefusedBeforeAnySocketExists) {
  CTcpListener listener;
  int error = 0;
  EXPECT_EQ(listener.Listen(GetParam().address, 0, GetParam().backlog, &error),
            ListenResult::BadArgument);
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(listener.IsListening());
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocketBadListenTest,
    ::testing::Values(BadListenCase{"mail.example", 5}, BadListenCase{"256.0.0.1", 5},
                      BadListenCase{"127.0.0", 5}, BadListenCase{"127.0.0.1.1", 5},
                      BadListenCase{" 127.0.0.1", 5}, BadListenCase{"127.0.0.1 ", 5},
                      BadListenCase{"127.0.0.1:8110", 5}, BadListenCase{"::1", 5},
                      BadListenCase{"localhost.", 5},
                      BadListenCase{std::string("127.0.0.1\0x", 11), 5},
                      BadListenCase{"127.0.0.1", 0}, BadListenCase{"localhost", -1}));

}  // namespace
}  // namespace qm
