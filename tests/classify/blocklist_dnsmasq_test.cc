// The blocklist resolver against a real DNS server: dnsmasq on a loopback high port, serving
// test zones from a configuration in a scratch directory, with its query log as the witness of
// which names were asked.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "platform/socket.h"
#include "support/scratch_directory.h"

extern char** environ;

namespace qm {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;

std::uint16_t FreeLoopbackPort() {
  CTcpListener probe;
  if (probe.Listen("127.0.0.1", 0, 1) != ListenResult::Listening) return 0;
  return probe.Port();
}

class CDnsmasq {
 public:
  ~CDnsmasq() { Stop(); }

  // Empty on success, otherwise why dnsmasq could not be started.
  std::string Start(const ScratchDirectory& dir) {
    std::string why;
    for (int attempt = 0; attempt < 3; ++attempt) {  // the free port may be taken meanwhile
      port_ = FreeLoopbackPort();
      if (port_ == 0) return "no free loopback port";
      log_ = dir.File("queries.log");
      const std::string conf = dir.File("dnsmasq.conf");
      std::ofstream out(conf);
      out << "port=" << port_ << "\nlisten-address=127.0.0.1\nbind-interfaces\n"
          << "no-resolv\nno-hosts\nuser=root\npid-file=" << dir.File("dnsmasq.pid") << "\n"
          << "log-queries\nlog-facility=" << log_ << "\n"
          << "local=/zone0.test/\nlocal=/zone1.test/\nlocal=/zone2.test/\nlocal=/zone3.test/\n"
          << "host-record=ready.zone2.test,127.0.0.9\n"
          << "host-record=listed.example.zone0.test,127.0.0.2\n"
          << "host-record=ipv4only.example.zone3.test,10.9.8.7\n"
          << "host-record=2.0.0.127.zone1.test,127.0.0.2\n"
          << "host-record=2.0.0.127.zone2.test,127.0.0.4\n"
          << "host-record=refused.example.zone0.test,127.255.255.254\n"
          << "host-record=v6only.example.zone3.test,::1\n";
      out.close();
      std::string confArg = "--conf-file=" + conf;
      char* argv[] = {const_cast<char*>("dnsmasq"), const_cast<char*>("--keep-in-foreground"),
                      confArg.data(), nullptr};
      if (posix_spawnp(&pid_, "dnsmasq", nullptr, nullptr, argv, environ) != 0) {
        pid_ = -1;
        return "dnsmasq is not installed";
      }
      why = WaitReady();
      if (why.empty()) return {};
      Stop();
    }
    return why;
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }

  // How often dnsmasq was asked for the A record of `name`.
  int Asked(const std::string& name) const {
    std::ifstream in(log_);
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
      if (line.find("query[A] " + name + " from") != std::string::npos) ++count;
    }
    return count;
  }

  // Asks for a name of its own and waits until the log shows it, so that every query sent
  // before has been logged too.
  void SyncLog() {
    CAresResolver resolver({Server()});
    const std::string name = "sync" + std::to_string(++syncs_) + ".zone2.test";
    resolver.LookupA(name, 2000ms);
    for (int i = 0; i < 200 && Asked(name) == 0; ++i) std::this_thread::sleep_for(10ms);
  }

 private:
  std::string WaitReady() {
    CAresResolver resolver({Server()});
    for (int i = 0; i < 50; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "dnsmasq exited at start (status " + std::to_string(status) + ")";
      }
      if (resolver.LookupA("ready.zone2.test", 200ms).status == DnsStatus::Found) {
        return {};
      }
      std::this_thread::sleep_for(100ms);
    }
    return "dnsmasq did not answer on " + Server();
  }

  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  std::string log_;
  int syncs_ = 0;
};

class BlocklistDnsmasqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = dnsmasq.Start(dir);
    if (!why.empty()) GTEST_SKIP() << "no real DNS server for this test: " << why;
    SetReporter(&log);
  }
  void TearDown() override { SetReporter(nullptr); }

  BlocklistSettings Settings() const {
    BlocklistSettings settings;
    settings.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
    settings.dnsServers = {dnsmasq.Server()};
    settings.dnsTimeout = 3s;
    return settings;
  }

  ScratchDirectory dir;
  CDnsmasq dnsmasq;
  LogRecorder log;
};

TEST_F(BlocklistDnsmasqTest, AnswersOfARealServer) {
  CAresResolver resolver({dnsmasq.Server()});
  DnsAnswer answer = resolver.LookupA("2.0.0.127.zone2.test", 3s);
  ASSERT_EQ(answer.status, DnsStatus::Found) << answer.errorText;
  EXPECT_THAT(answer.addresses, ElementsAre(std::array<std::uint8_t, 4>{127, 0, 0, 4}));
  answer = resolver.LookupA("nothing.zone0.test", 3s);
  EXPECT_EQ(answer.status, DnsStatus::NotFound);
  EXPECT_EQ(answer.code, kDnsHostNotFound);
  answer = resolver.LookupA("v6only.example.zone3.test", 3s);
  EXPECT_EQ(answer.status, DnsStatus::NotFound);
  EXPECT_EQ(answer.code, kDnsNoData);
  // Outside the served zones dnsmasq has nowhere to forward to.
  answer = resolver.LookupA("elsewhere.example", 3s);
  EXPECT_EQ(answer.status, DnsStatus::Error) << answer.code;
  answer = resolver.LookupA("bad..name.zone0.test", 3s);
  EXPECT_EQ(answer.status, DnsStatus::Error);
}

TEST_F(BlocklistDnsmasqTest, VerdictsLogLinesAndCachedKeysAreNotAskedAgain) {
  BlocklistResolver blocklists(Settings());
  EXPECT_EQ(blocklists.Lookup("listed.example", UrlHostZone), 1);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneA), 1);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneB), 1);
  EXPECT_EQ(blocklists.Lookup("ipv4only.example", DomainZone), 1);
  EXPECT_EQ(blocklists.Lookup("clean.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("v6only.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("refused.example", UrlHostZone), -1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Found\t(server = 0)\t\"listed.example\"",
                          "RBL : Found\t(server = 1)\t\"2.0.0.127\"",
                          "RBL : Found\t(server = 2)\t\"2.0.0.127\"",
                          "RBL : Found\t(server = 3)\t\"ipv4only.example\"",
                          "RBL : Not Found\t(server = 3)\t\"clean.example\"",
                          "RBL : Not Found\t(server = 3)\t\"v6only.example\"",
                          "RBL : ********  ERROR ( server = 0, code = 11003) ********"));

  EXPECT_EQ(blocklists.Lookup("listed.example", UrlHostZone), 1);
  EXPECT_EQ(blocklists.Lookup("clean.example", DomainZone), 0);
  EXPECT_EQ(blocklists.Lookup("refused.example", UrlHostZone), -1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Found\t(server = 0)\t\"listed.example\" cache",
                          "RBL : Not Found\t(server = 3)\t\"clean.example\" cache",
                          "RBL : ********  ERROR ( server = 0, code = 11003) ********"));

  dnsmasq.SyncLog();
  EXPECT_EQ(dnsmasq.Asked("listed.example.zone0.test"), 1);
  EXPECT_EQ(dnsmasq.Asked("clean.example.zone3.test"), 1);
  EXPECT_EQ(dnsmasq.Asked("refused.example.zone0.test"), 2);  // refusals are not cached
}

TEST(CAresResolverTest, ServerThatNeverAnswersCostsTheTimeOutNotAHungThread) {
  // A bound UDP socket that nobody reads: queries arrive and are never answered.
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(silent, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string server = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  // Twice the same server: without the overall deadline, c-ares would wait for each in turn.
  CAresResolver resolver({server, server});
  const DnsAnswer answer = resolver.LookupA("silent.zone0.test", 300ms);
  EXPECT_EQ(answer.status, DnsStatus::Error);
  EXPECT_EQ(answer.code, kDnsTryAgain);

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
