// The resolver against a DNS server of the test's own on a loopback UDP port that answers every
// query with one A record, and then against the same port silent.
#include "platform/resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace qm {
namespace {

using namespace std::chrono_literals;

TEST(CAresResolverTest, ReadsTheAnswerAndTellsASilentServer) {
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(udp, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread server([udp] {
    pollfd ready{udp, POLLIN, 0};
    unsigned char query[512];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    if (poll(&ready, 1, 10000) != 1) return;
    const ssize_t n =
        recvfrom(udp, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    std::size_t end = 12;  // the header, then the question's name and its type and class
    while (end < static_cast<std::size_t>(n) && query[end] != 0) end += query[end] + 1u;
    std::string reply(reinterpret_cast<char*>(query), end + 5);
    reply.replace(2, 10, std::string("\x81\x80\0\x01\0\x01\0\0\0\0", 10));
    reply += std::string("\xC0\x0C\0\x01\0\x01\0\0\0\x3C\0\x04\x7F\0\0\x02", 16);
    sendto(udp, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
  });
  CAresResolver resolver({"127.0.0.1:" + std::to_string(ntohs(address.sin_port))});
  const DnsAnswer found = resolver.LookupA("2.0.0.127.zone.test", 5s);
  server.join();
  EXPECT_EQ(found.status, DnsStatus::Found) << found.errorText;
  EXPECT_EQ(found.addresses, (std::vector<std::array<std::uint8_t, 4>>{{127, 0, 0, 2}}));
  // Nobody answers now: a time-out, which the blocklist may try again.
  const DnsAnswer silent = resolver.LookupA("x.zone.test", 300ms);
  EXPECT_EQ(silent.status, DnsStatus::Error);
  EXPECT_EQ(silent.code, kDnsTryAgain);
  close(udp);
}

}  // namespace
}  // namespace qm
