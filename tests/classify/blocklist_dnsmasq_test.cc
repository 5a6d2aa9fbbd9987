// The blocklist resolver against a real DNS server: dnsmasq on a loopback high port, serving
// test zones from a configuration in a scratch directory.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <thread>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "platform/socket.h"
#include "support/scratch_directory.h"
#include "support/words.h"

extern char** environ;

namespace qm {
namespace {

using namespace std::chrono_literals;

// Empty on success, otherwise why dnsmasq could not be started.
std::string StartDnsmasq(const ScratchDirectory& dir, std::string& server, pid_t& pid) {
  for (int attempt = 0; attempt < 3; ++attempt) {  // the free port may be taken meanwhile
    {
      CTcpListener probe;
      if (probe.Listen("127.0.0.1", 0, 1) != ListenResult::Listening) return "no free port";
      server = "127.0.0.1:" + std::to_string(probe.Port());
    }
    std::ofstream(dir.File("dnsmasq.conf"))
        << "port=" << server.substr(10) << "\nlisten-address=127.0.0.1\nbind-interfaces\n"
        << "no-resolv\nno-hosts\nuser=root\npid-file=" << dir.File("pid")
        << "\nlog-facility=" << dir.File("log")
        << "\nlocal=/zone0.test/\nlocal=/zone1.test/\nlocal=/zone2.test/\n"
        << "local=/zone3.test/\nhost-record=listed.example.zone0.test,127.0.0.2\n"
        << "host-record=ipv4only.example.zone3.test,10.9.8.7\n"
        << "host-record=2.0.0.127.zone1.test,127.0.0.2\nhost-record=2.0.0.127.zone2.test,127.0.0."
           "4\n"
        << "host-record=refused.example.zone0.test,127.255.255.254\n"
        << "host-record=v6only.example.zone3.test,::1\n";
    std::string confArg = "--conf-file=" + dir.File("dnsmasq.conf");
    char* argv[] = {const_cast<char*>("dnsmasq"), const_cast<char*>("--keep-in-foreground"),
                    confArg.data(), nullptr};
    if (posix_spawnp(&pid, "dnsmasq", nullptr, nullptr, argv, environ) != 0) {
      pid = -1;
      return "dnsmasq is not installed";
    }
    CAresResolver resolver({server});
    for (int i = 0; i < 50 && waitpid(pid, nullptr, WNOHANG) != pid; ++i) {
      if (resolver.LookupA("2.0.0.127.zone1.test", 200ms).status == DnsStatus::Found) return {};
      std::this_thread::sleep_for(100ms);
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  return "dnsmasq did not answer";
}

TEST(BlocklistDnsmasqTest, VerdictsAndLogLinesOfRealAnswers) {
  ScratchDirectory dir;
  std::string server;
  pid_t pid = -1;
  const std::string why = StartDnsmasq(dir, server, pid);
  if (!why.empty()) GTEST_SKIP() << "no real DNS server for this test: " << why;
  LogRecorder log;
  BlocklistSettings settings;
  settings.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
  settings.dnsServers = {server};
  settings.dnsTimeout = 3s;
  BlocklistResolver blocklists(settings);
  for (const std::string& item :
       test::Words("0listed.example 12.0.0.127 22.0.0.127 3ipv4only.example "
                   "3clean.example 3v6only.example 0refused.example 0listed.example 3clean.example "
                   "0refused.example")) {
    blocklists.Lookup(item.substr(1), item[0] - '0');  // each answer is the log line's
  }
  const std::string refused = "RBL : ********  ERROR ( server = 0, code = 11003) ********";
  EXPECT_EQ(log.Take(), (std::vector<std::string>{
                            "RBL : Found\t(server = 0)\t\"listed.example\"",
                            "RBL : Found\t(server = 1)\t\"2.0.0.127\"",
                            "RBL : Found\t(server = 2)\t\"2.0.0.127\"",
                            "RBL : Found\t(server = 3)\t\"ipv4only.example\"",
                            "RBL : Not Found\t(server = 3)\t\"clean.example\"",
                            "RBL : Not Found\t(server = 3)\t\"v6only.example\"", refused,
                            "RBL : Found\t(server = 0)\t\"listed.example\" cache",
                            "RBL : Not Found\t(server = 3)\t\"clean.example\" cache", refused}));
  // The resolver's own codes: NXDOMAIN, no A record, nowhere to forward to, a malformed name.
  CAresResolver resolver({server});
  EXPECT_EQ(resolver.LookupA("nothing.zone0.test", 3s).code, kDnsHostNotFound);
  EXPECT_EQ(resolver.LookupA("v6only.example.zone3.test", 3s).code, kDnsNoData);
  EXPECT_EQ(resolver.LookupA("elsewhere.example", 3s).status, DnsStatus::Error);
  EXPECT_EQ(resolver.LookupA("bad..name.zone0.test", 3s).status, DnsStatus::Error);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace qm
