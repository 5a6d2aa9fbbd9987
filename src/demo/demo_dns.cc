#include "demo/demo_dns.h"

#include <chrono>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "platform/socket.h"

namespace qm {

namespace {

// Listed names and what the zones answer for them (127.0.0.2: listed, as the public lists say).
const std::vector<std::pair<std::string, std::string>>& ListedNames() {
  static const std::vector<std::pair<std::string, std::string>> names = {
      {"cheap-pills.example.links.demo.test", "127.0.0.2"},
      {"verify-account.example.links.demo.test", "127.0.0.2"},
      {"prize-claim.example.links.demo.test", "127.0.0.2"},
      {"crypto-boost.example.links.demo.test", "127.0.0.2"},
      // 198.51.100.23, reversed as relay look-ups ask for it.
      {"23.100.51.198.relays.demo.test", "127.0.0.2"},
      // A sender domain is looked up as written: the list names each one.
      {"spam-sender.example.domains.demo.test", "127.0.0.2"},
      {"mailer.spam-sender.example.domains.demo.test", "127.0.0.2"},
  };
  return names;
}

std::string Configuration(std::uint16_t port, const std::string& directory,
                          const std::string& user) {
  std::string text = "port=" + std::to_string(port) +
                     "\nlisten-address=127.0.0.1\nbind-interfaces\n"
                     // Answers only for the demo zones; asks no other server and reads no
                     // hosts file.
                     "no-resolv\nno-hosts\nlocal=/demo.test/\n"
                     "log-facility=-\nlog-queries\n"
                     "pid-file=" +
                     directory + "/dnsmasq.pid\n";
  // Started by root, dnsmasq would otherwise become a user that cannot reach this directory.
  if (!user.empty()) text += "user=" + user + "\n";
  for (const auto& [name, address] : ListedNames()) {
    text += "host-record=" + name + "," + address + "\n";
  }
  return text;
}

}  // namespace

bool CDemoDns::Start(const std::string& directory, std::ostream& err) {
  const std::string program = FindProgram("dnsmasq", {"/usr/sbin", "/sbin"});
  if (program.empty()) {
    err << "qm_mailfilter demo: dnsmasq is not installed (Debian package dnsmasq-base), so the "
           "demo runs without blocklists\n";
    return false;
  }
  const std::string conf = directory + "/dnsmasq.conf";
  const std::string log = directory + "/dnsmasq.log";
  const std::string user = CurrentUserName();
  // A port found free may be taken before dnsmasq binds it: then another one.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = FreeLoopbackPort();
    int error = 0;
    if (port == 0 || !ReplaceFileContent(conf, Configuration(port, directory, user), &error)) {
      err << "qm_mailfilter demo: cannot prepare dnsmasq; the demo runs without blocklists\n";
      return false;
    }
    if (!process.Start({program, "--keep-in-foreground", "--conf-file=" + conf}, log, &error)) {
      err << "qm_mailfilter demo: cannot start " << program
          << "; the demo runs without blocklists\n";
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (process.Running() && std::chrono::steady_clock::now() < deadline) {
      if (LoopbackUdpPortInUse(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const bool ended = !process.Running();
    process.Stop();
    std::string output;
    ReadFileContent(log, output);
    if (!ended || output.find("in use") == std::string::npos) {
      err << "qm_mailfilter demo: dnsmasq did not start (see " << log
          << "); the demo runs without blocklists\n";
      return false;
    }
  }
  err << "qm_mailfilter demo: dnsmasq found no free port; the demo runs without blocklists\n";
  return false;
}

}  // namespace qm
