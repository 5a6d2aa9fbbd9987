// The production stream refuses a server that does not complete a TLS handshake: one that answers
// in clear text, or closes; nothing the server sent is taken for a reply.
#include "pop3client/network_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace qm {
namespace {

using namespace std::chrono_literals;

TEST(NetworkStreamTest, TlsIsRefusedWithoutAHandshake) {
  const std::pair<std::string, std::string> kCases[] = {
      {"+OK ready\r\n", "wrong version number"},
      {"", "the server closed the connection during the handshake"}};
  for (const auto& [answer, error] : kCases) {
    CTcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    std::thread server([&] {
      CTcpConnection connection;
      if (listener.Accept(connection, 10s) != AcceptResult::Accepted) return;
      char hello[512];
      connection.Receive(hello, sizeof hello, 10s);
      if (!answer.empty()) connection.Send(answer, 10s);
      connection.ShutdownAndClose();
    });
    CNetworkStream stream;
    stream.SetSecurity(ConnectionSecurity::Tls, "");
    EXPECT_NE(stream.Connect("127.0.0.1", listener.Port(), 10s, nullptr), ConnectResult::Connected);
    server.join();
    EXPECT_NE(stream.SecurityError().find(error), std::string::npos) << stream.SecurityError();
  }
}

}  // namespace
}  // namespace qm
