// DNS look-ups of A records for the blocklist queries. Behind an interface so that the
// blocklist cache logic can be tested against scripted answers, and kept here because waiting
// on the resolver's sockets needs the system's poll.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Result codes of a look-up. They keep the numbers of the host look-up errors that the log
// readers of this program know, so that "code = 11001" reads the same as it always has.
inline constexpr int kDnsHostNotFound = 11001;  // NXDOMAIN
inline constexpr int kDnsTryAgain = 11002;      // SERVFAIL, time-out, no server reachable
inline constexpr int kDnsNoRecovery = 11003;    // REFUSED, malformed name or reply, bad set-up
inline constexpr int kDnsNoData = 11004;        // the name exists but has no A record

enum class DnsStatus { Found, NotFound, Error };

struct DnsAnswer {
  DnsStatus status = DnsStatus::Error;
  // First byte first: 127.0.0.2 is {127, 0, 0, 2}. Empty unless Found.
  std::vector<std::array<std::uint8_t, 4>> addresses;
  // 0 when Found, otherwise one of the kDns codes above.
  int code = kDnsNoRecovery;
  // Words for the log or the status line; empty when Found.
  std::string errorText;
};

class IDnsResolver {
 public:
  virtual ~IDnsResolver() = default;
  // Asks for the A records of `name` exactly as given (no search domains, no hosts file) and
  // blocks the calling thread until the answer or `timeout`, whichever comes first. Callable
  // from several threads at once.
  virtual DnsAnswer LookupA(std::string_view name, std::chrono::milliseconds timeout) = 0;
};

// The resolver over c-ares. Each look-up has a channel of its own, so concurrent look-ups
// share nothing and a slow server holds up only the thread that asked it.
class CAresResolver : public IDnsResolver {
 public:
  // `servers`: numeric IPv4 addresses "a.b.c.d" or "a.b.c.d:port", or IPv6 as "[addr]:port";
  // empty for the system's configuration. A list that c-ares does not accept makes every
  // look-up an Error with kDnsNoRecovery and says why (see SetupError()).
  explicit CAresResolver(std::vector<std::string> servers = {});
  ~CAresResolver() override;
  CAresResolver(const CAresResolver&) = delete;
  CAresResolver& operator=(const CAresResolver&) = delete;

  DnsAnswer LookupA(std::string_view name, std::chrono::milliseconds timeout) override;

  // Empty when the library and the server list were accepted.
  const std::string& SetupError() const { return setupError_; }

 private:
  std::string serverList_;
  std::string setupError_;
};

}  // namespace qm
