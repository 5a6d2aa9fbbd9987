// `qm_mailfilter demo [DIR]`: the filter at work within seconds, with no account of one's own and
// no network. A new working directory gets a mailbox "demo-source" full of sample mail, which the
// program's own local POP3 server serves, and a mailbox "demo" whose remote account is that
// server; a friend list and a bad list, and blocklist zones that dnsmasq answers on loopback.
// The program then starts there as usual, and its first retrieval fetches, classifies and
// stores the samples.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace qm {

struct DemoOptions {
  // A new or empty directory; empty: a new one under $XDG_RUNTIME_DIR, else /tmp.
  std::string directory;
  // Without a window even where there is a display.
  bool headless = false;
};

// Names of the demo's mailboxes and of the accounts of the local server.
inline constexpr const char* kDemoMailbox = "demo";
inline constexpr const char* kDemoSourceMailbox = "demo-source";
inline constexpr const char* kDemoUser = "demo";
inline constexpr const char* kDemoSourceUser = "demo-source";
inline constexpr const char* kDemoPassword = "demo";

// Makes the demo directory and runs the program in it: `desktop` (with a display, unless
// headless is asked for) or the headless filter; dnsmasq runs until the program ends. The exit
// status; 1 when the directory could not be made.
int RunDemo(const DemoOptions& options, std::ostream& out, std::ostream& err,
            const std::function<int()>& desktop);

}  // namespace qm
