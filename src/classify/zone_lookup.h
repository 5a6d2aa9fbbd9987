// What the classifier asks of the DNS blocklists: whether a key is listed in one of the four
// zones. The blocklist resolver answers it; tests answer it from a table.
#pragma once

#include <chrono>
#include <string_view>

namespace qm {

// The zones by role; their names come from the settings.
enum Zone : int {
  UrlHostZone = 0,
  RelayZoneA = 1,
  RelayZoneB = 2,
  DomainZone = 3,
};

class IZoneLookup {
 public:
  virtual ~IZoneLookup() = default;
  // Greater than 0 when listed, 0 when not, -1 when the look-up failed.
  virtual int Lookup(std::string_view key, int zone) = 0;
  // The longest a look-up waits for an answer; the classifier measures a message's share of
  // look-up time in it.
  virtual std::chrono::milliseconds LookupTimeout() const { return std::chrono::seconds(5); }
  // False when look-ups in `zone` go nowhere (the zone is switched off) and answer at once.
  virtual bool Asks(int /*zone*/) const { return true; }
};

}  // namespace qm
