// The demo's blocklists: four zones under demo.test that list some link hosts, a sender domain
// and a relay address of the sample spam, answered by dnsmasq on a free port of 127.0.0.1. It
// forwards nothing: every query the filter makes ends in one of the zones.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "platform/child_process.h"

namespace qm {

// The zone names for the blocklist settings Zone0 to Zone3, each with its leading dot.
inline constexpr std::array<const char*, 4> kDemoZones = {
    ".links.demo.test", ".relays.demo.test", ".reports.demo.test", ".domains.demo.test"};

class CDemoDns {
 public:
  // Stops dnsmasq.
  ~CDemoDns() = default;

  // Writes dnsmasq.conf into `directory` and starts dnsmasq on it, its output going to
  // dnsmasq.log there. False, with the reason on `err`, when dnsmasq is missing or did not start.
  bool Start(const std::string& directory, std::ostream& err);
  std::uint16_t Port() const { return port; }
  void Stop() { process.Stop(); }

 private:
  CChildProcess process;
  std::uint16_t port = 0;
};

}  // namespace qm
