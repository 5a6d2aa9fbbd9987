// The blocklist resolver against a real DNS server: dnsmasq on a loopback high port, serving
// test zones from a configuration in a scratch directory.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "platform/socket.h"
#include "support/scratch_directory.h"

extern char** environ;

namespace qm {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

class BlocklistDnsmasqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = Start();
    if (!why.empty()) GTEST_SKIP() << "no real DNS server for this test: " << why;
    SetReporter(&log);
  }
  void TearDown() override {
    SetReporter(nullptr);
    Stop();
  }
  void Stop() {
    if (pid > 0) kill(pid, SIGTERM);
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
  }

  // Empty on success, otherwise why dnsmasq could not be started.
  std::string Start() {
    for (int attempt = 0; attempt < 3; ++attempt) {  // the free port may be taken meanwhile
      {
        CTcpListener probe;
        if (probe.Listen("127.0.0.1", 0, 1) != ListenResult::Listening) return "no free port";
        server = "127.0.0.1:" + std::to_string(probe.Port());
      }
      const std::string conf = dir.File("dnsmasq.conf");
      std::ofstream(conf) << "port=" << server.substr(10) << "\nlisten-address=127.0.0.1\n"
                          << "bind-interfaces\nno-resolv\nno-hosts\nuser=root\npid-file="
                          << dir.File("pid") << "\nlog-facility=" << dir.File("log") << "\n"
                          << "local=/zone0.test/\nlocal=/zone1.test/\nlocal=/zone2.test/\n"
                          << "local=/zone3.test/\nhost-record=listed.example.zone0.test,127.0.0.2\n"
                          << "host-record=ipv4only.example.zone3.test,10.9.8.7\n"
                          << "host-record=2.0.0.127.zone1.test,127.0.0.2\n"
                          << "host-record=2.0.0.127.zone2.test,127.0.0.4\n"
                          << "host-record=refused.example.zone0.test,127.255.255.254\n"
                          << "host-record=v6only.example.zone3.test,::1\n";
      std::string confArg = "--conf-file=" + conf;
      char* argv[] = {const_cast<char*>("dnsmasq"), const_cast<char*>("--keep-in-foreground"),
                      confArg.data(), nullptr};
      if (posix_spawnp(&pid, "dnsmasq", nullptr, nullptr, argv, environ) != 0) {
        pid = -1;
        return "dnsmasq is not installed";
      }
      CAresResolver resolver({server});
      for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) break;
        if (resolver.LookupA("2.0.0.127.zone1.test", 200ms).status == DnsStatus::Found) return {};
        std::this_thread::sleep_for(100ms);
      }
      Stop();
    }
    return "dnsmasq did not answer";
  }

  ScratchDirectory dir;
  std::string server;
  pid_t pid = -1;
  LogRecorder log;
};

TEST_F(BlocklistDnsmasqTest, VerdictsAndLogLinesOfRealAnswers) {
  BlocklistSettings settings;
  settings.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
  settings.dnsServers = {server};
  settings.dnsTimeout = 3s;
  BlocklistResolver blocklists(settings);
  EXPECT_EQ(blocklists.Lookup("listed.example", UrlHostZone), 1);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneA), 1);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneB), 1);
  EXPECT_EQ(blocklists.Lookup("ipv4only.example", DomainZone), 1);
  EXPECT_EQ(blocklists.Lookup("clean.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("v6only.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("refused.example", UrlHostZone), -1);
  EXPECT_EQ(blocklists.Lookup("listed.example", UrlHostZone), 1);
  EXPECT_EQ(blocklists.Lookup("clean.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("refused.example", UrlHostZone), -1);
  const std::string refused = "RBL : ********  ERROR ( server = 0, code = 11003) ********";
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Found\t(server = 0)\t\"listed.example\"",
                          "RBL : Found\t(server = 1)\t\"2.0.0.127\"",
                          "RBL : Found\t(server = 2)\t\"2.0.0.127\"",
                          "RBL : Found\t(server = 3)\t\"ipv4only.example\"",
                          "RBL : Not Found\t(server = 3)\t\"clean.example\"",
                          "RBL : Not Found\t(server = 3)\t\"v6only.example\"", refused,
                          "RBL : Found\t(server = 0)\t\"listed.example\" cache",
                          "RBL : Not Found\t(server = 3)\t\"clean.example\" cache", refused));
  // The resolver's own codes: NXDOMAIN, no A record, nowhere to forward to, a malformed name.
  CAresResolver resolver({server});
  EXPECT_EQ(resolver.LookupA("nothing.zone0.test", 3s).code, kDnsHostNotFound);
  EXPECT_EQ(resolver.LookupA("v6only.example.zone3.test", 3s).code, kDnsNoData);
  EXPECT_EQ(resolver.LookupA("elsewhere.example", 3s).status, DnsStatus::Error);
  EXPECT_EQ(resolver.LookupA("bad..name.zone0.test", 3s).status, DnsStatus::Error);
}

TEST(CAresResolverTest, ServerThatNeverAnswersCostsTheTimeOutNotAHungThread) {
  // A bound UDP socket that nobody reads: queries arrive and are never answered.
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  // Twice the same server: without the overall deadline, c-ares would wait for each in turn.
  CAresResolver resolver({server, server});
  EXPECT_EQ(resolver.LookupA("silent.zone0.test", 300ms).code, kDnsTryAgain);
  LogRecorder log;
  SetReporter(&log);
  BlocklistSettings settings;
  settings.dnsServers = {server};
  settings.dnsTimeout = 200ms;
  BlocklistResolver blocklists(settings);
  EXPECT_EQ(blocklists.Lookup("1.2.3.4", RelayZoneA), -1);
  SetReporter(nullptr);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : ********  ERROR ( server = 1, code = 11002) ********"));
  EXPECT_FALSE(blocklists.LastError(RelayZoneA).empty());
  close(silent);
}

}  // namespace
}  // namespace qm
