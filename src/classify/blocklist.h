// Whether a host name, a domain or a reversed IPv4 address is listed in one of the four DNS
// blocklist zones. Answers are kept in memory, positive ones for eight hours and negative ones
// for a minute, so that keys repeated within a message and across messages cost one query.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "classify/text_list.h"
#include "classify/zone_lookup.h"
#include "platform/resolver.h"

namespace qm {

inline constexpr int kZoneCount = 4;

// Settings section "RBL": keys "Zone0" to "Zone3", "Refuse0" to "Refuse3", "Ignore0" to
// "Ignore3", "DnsServers" and "DnsTimeout".
struct BlocklistSettings {
  // Each with its leading ".", indexed by Zone.
  std::array<std::string, kZoneCount> zones = DefaultZones();
  // Answers (dotted IPv4) by which a zone says it refused the query rather than that the key is
  // listed. 127.255.255.0/24 is always a refusal and need not be named.
  std::array<std::vector<std::string>, kZoneCount> refusals = DefaultRefusals();
  // Answers (dotted IPv4) that do not count as listings: a key answered only with these is not
  // listed.
  std::array<std::vector<std::string>, kZoneCount> ignored = DefaultIgnored();
  // "host" or "host:port", numeric addresses; empty for the system's resolver configuration.
  std::vector<std::string> dnsServers;
  std::chrono::milliseconds dnsTimeout{5000};
  // Not a settings key: the most answers each cache keeps. Months of spam name hosts by the
  // hundred thousand; a day's worth of distinct keys of one user's mail stays well below it.
  std::size_t cacheEntries = 10000;

  static std::array<std::string, kZoneCount> DefaultZones();
  static std::array<std::vector<std::string>, kZoneCount> DefaultRefusals();
  static std::array<std::vector<std::string>, kZoneCount> DefaultIgnored();
};

// A comma-separated settings value as its trimmed, non-empty items.
std::vector<std::string> SplitSettingsList(std::string_view text);

class BlocklistResolver : public IZoneLookup {
 public:
  static constexpr std::int32_t kFoundLifetime = 28800;  // seconds
  static constexpr std::int32_t kNotFoundLifetime = 60;  // seconds
  // Seconds of the C library clock; replaced by tests to step through the cache lifetimes.
  using ClockFunction = std::function<std::int64_t()>;

  // Uses `resolver` for the queries; it must outlive this object.
  BlocklistResolver(BlocklistSettings settings, IDnsResolver& resolver, ClockFunction clock = {});
  // Queries through its own c-ares resolver with the settings' servers.
  explicit BlocklistResolver(BlocklistSettings settings);
  BlocklistResolver(const BlocklistResolver&) = delete;
  BlocklistResolver& operator=(const BlocklistResolver&) = delete;

  // 1 listed, 0 not listed, -1 the look-up failed or the zone refused it, -2 `zone` is not 0
  // to 3. The key ends at its first NUL byte. Callable from several threads at once.
  int Lookup(std::string_view key, int zone) override;
  std::chrono::milliseconds LookupTimeout() const override { return settings_.dnsTimeout; }
  bool Asks(int zone) const override;

  // What went wrong with the last failed look-up in `zone` (empty when none has failed), for
  // telling the user that a blocklist is not working.
  std::string LastError(int zone) const;
  // How many look-ups in `zone` have failed or been refused so far.
  std::uint64_t FailureCount(int zone) const;

  const BlocklistSettings& Settings() const { return settings_; }

 private:
  enum class CacheState { Fresh, Expired, Missing };
  struct AnswerCache {
    TextList entries;
    std::size_t count = 0;
  };
  void Init();
  // Looks `cacheKey` up in `cache` under mutex_, removing it when it has expired.
  CacheState CheckCache(AnswerCache& cache, std::string_view cacheKey, std::int32_t now,
                        std::int32_t lifetime);
  // Adds or refreshes `cacheKey` under mutex_. A full cache first loses its expired entries, and
  // everything when none has expired.
  void Remember(AnswerCache& cache, std::string_view cacheKey, std::int32_t now,
                std::int32_t lifetime);
  bool IsRefusal(int zone, const std::array<std::uint8_t, 4>& address) const;
  bool IsIgnored(int zone, const std::array<std::uint8_t, 4>& address) const;

  BlocklistSettings settings_;
  std::unique_ptr<IDnsResolver> ownResolver_;
  IDnsResolver& resolver_;
  ClockFunction clock_;
  std::array<std::vector<std::array<std::uint8_t, 4>>, kZoneCount> refusalAddresses_;
  std::array<std::vector<std::array<std::uint8_t, 4>>, kZoneCount> ignoredAddresses_;

  // Every classifying thread shares the caches; the lock is never held during a query.
  mutable std::mutex mutex_;
  std::array<AnswerCache, kZoneCount> foundCache_;
  std::array<AnswerCache, kZoneCount> notFoundCache_;
  std::array<std::string, kZoneCount> lastError_;
  std::array<std::uint64_t, kZoneCount> failureCount_{};
};

}  // namespace qm
