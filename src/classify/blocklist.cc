#include "classify/blocklist.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <utility>

#include "platform/report.h"

namespace qm {

namespace {

std::optional<std::array<std::uint8_t, 4>> ParseIPv4(std::string_view text) {
  std::array<std::uint8_t, 4> bytes{};
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    int value = 0;
    std::size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    bytes[part] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return bytes;
}

std::string AddressText(const std::array<std::uint8_t, 4>& a) {
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
         std::to_string(a[3]);
}

// Differences of cache times are taken as signed 32-bit numbers, wrapping rather than
// overflowing.
std::int32_t Age(std::int32_t now, std::int32_t then) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(now) -
                                   static_cast<std::uint32_t>(then));
}

std::string Quoted(int zone, std::string_view key) {
  return "(server = " + std::to_string(zone) + ")\t\"" + std::string(key) + "\"";
}

}  // namespace

std::array<std::string, kZoneCount> BlocklistSettings::DefaultZones() {
  // Hosts and domains from links (also takes reversed IPv4 addresses of link hosts), two lists
  // of spam-sending addresses, and domains named in spam bodies.
  return {".multi.surbl.org", ".zen.spamhaus.org", ".bl.spamcop.net", ".dbl.spamhaus.org"};
}

std::array<std::vector<std::string>, kZoneCount> BlocklistSettings::DefaultRefusals() {
  // The link-host list answers 127.0.0.1 to every query once it blocks the asker; listings
  // there never use that address.
  return {std::vector<std::string>{"127.0.0.1"}, {}, {}, {}};
}

std::array<std::vector<std::string>, kZoneCount> BlocklistSettings::DefaultIgnored() {
  // The first relay list also answers for addresses that its operators' policy says should not
  // send mail directly (dynamic and residential ranges, 127.0.0.10 and 127.0.0.11). A person
  // who sends from home through their provider names such an address in an early Received
  // field: counting it would make their ordinary mail spam.
  return {std::vector<std::string>{}, {"127.0.0.10", "127.0.0.11"}, {}, {}};
}

std::vector<std::string> SplitSettingsList(std::string_view text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    const std::size_t first = item.find_first_not_of(" \t");
    if (first != std::string_view::npos) {
      item = item.substr(first, item.find_last_not_of(" \t") - first + 1);
      items.emplace_back(item);
    }
    start = end + 1;
  }
  return items;
}

BlocklistResolver::BlocklistResolver(BlocklistSettings settings, IDnsResolver& resolver,
                                     ClockFunction clock)
    : settings_(std::move(settings)), resolver_(resolver), clock_(std::move(clock)) {
  Init();
}

BlocklistResolver::BlocklistResolver(BlocklistSettings settings)
    : settings_(std::move(settings)),
      ownResolver_(std::make_unique<CAresResolver>(settings_.dnsServers)),
      resolver_(*ownResolver_) {
  Init();
}

void BlocklistResolver::Init() {
  if (!clock_) clock_ = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
  for (int zone = 0; zone < kZoneCount; ++zone) {
    for (const std::string& text : settings_.refusals[zone]) {
      // An address that does not parse can never be answered, so leaving it out changes nothing.
      if (auto address = ParseIPv4(text)) refusalAddresses_[zone].push_back(*address);
    }
    for (const std::string& text : settings_.ignored[zone]) {
      if (auto address = ParseIPv4(text)) ignoredAddresses_[zone].push_back(*address);
    }
  }
}

BlocklistResolver::CacheState BlocklistResolver::CheckCache(AnswerCache& cache,
                                                            std::string_view cacheKey,
                                                            std::int32_t now,
                                                            std::int32_t lifetime) {
  std::int32_t then = 0;
  if (cache.entries.Find(cacheKey, &then) == 0) return CacheState::Missing;
  if (Age(now, then) < lifetime) return CacheState::Fresh;
  if (cache.entries.Remove(cacheKey)) --cache.count;
  return CacheState::Expired;
}

void BlocklistResolver::Remember(AnswerCache& cache, std::string_view cacheKey, std::int32_t now,
                                 std::int32_t lifetime) {
  // Cache keys end in NUL, so none is a prefix of another and Find is an exact match.
  if (cache.entries.Find(cacheKey) == 0) {
    if (cache.count >= settings_.cacheEntries) {
      std::vector<std::string> expired;
      cache.entries.ForEach([&](std::string_view key, std::int32_t then) {
        if (Age(now, then) >= lifetime) expired.emplace_back(key);
        return 1;
      });
      for (const std::string& key : expired) {
        if (cache.entries.Remove(key)) --cache.count;
      }
      if (cache.count >= settings_.cacheEntries) {
        cache.entries.Clear();
        cache.count = 0;
      }
    }
    ++cache.count;
  }
  cache.entries.Insert(cacheKey, now);
}

bool BlocklistResolver::IsIgnored(int zone, const std::array<std::uint8_t, 4>& address) const {
  const auto& ignored = ignoredAddresses_[zone];
  return std::find(ignored.begin(), ignored.end(), address) != ignored.end();
}

bool BlocklistResolver::IsRefusal(int zone, const std::array<std::uint8_t, 4>& address) const {
  // Blocklists answer from 127.255.255.0/24 when they refuse to answer (public resolver, over
  // quota, wrong zone name); counting that as a listing would mark every mail as spam.
  if (address[0] == 127 && address[1] == 255 && address[2] == 255) return true;
  for (const auto& refusal : refusalAddresses_[zone]) {
    if (refusal == address) return true;
  }
  return false;
}

bool BlocklistResolver::Asks(int zone) const {
  if (zone < 0 || zone >= kZoneCount) return false;
  // A zone left empty is switched off. Asking for the bare key would send mail's host names and
  // addresses to whatever resolver answers, and take any answer for a listing.
  const std::string& zoneName = settings_.zones[zone];
  return !zoneName.empty() && zoneName != ".";
}

int BlocklistResolver::Lookup(std::string_view key, int zone) {
  if (zone < 0 || zone >= kZoneCount) return -2;
  key = key.substr(0, key.find('\0'));
  const std::string& zoneName = settings_.zones[zone];
  if (!Asks(zone)) return 0;
  // The empty key asks for the zone itself, whose name has no leading dot.
  const std::string queryName = key.empty() && !zoneName.empty() && zoneName.front() == '.'
                                    ? zoneName.substr(1)
                                    : std::string(key) + zoneName;
  // The caches match a stored key that is a prefix of the asked one; the terminator makes that
  // an exact match, so that "1.2.0.19" listed does not list "1.2.0.192" or "spam.co"
  // "spam.com". Keys are NUL-terminated, so the terminator cannot be part of one.
  std::string cacheKey(key);
  cacheKey += '\0';
  const auto now = static_cast<std::int32_t>(clock_());
  const std::string quoted = Quoted(zone, key);

  if (!key.empty()) {
    CacheState found;
    CacheState notFound = CacheState::Missing;
    {
      std::lock_guard lock(mutex_);
      found = CheckCache(foundCache_[zone], cacheKey, now, kFoundLifetime);
      if (found != CacheState::Fresh) {
        notFound = CheckCache(notFoundCache_[zone], cacheKey, now, kNotFoundLifetime);
      }
    }
    if (found == CacheState::Fresh) {
      Log("RBL : Found\t" + quoted + " cache");
      return 1;
    }
    if (found == CacheState::Expired) {
      Log("RBL : Found List Cache (server = " + std::to_string(zone) + ")\t\"" + std::string(key) +
          "\" is too old.");
    }
    if (notFound == CacheState::Fresh) {
      Log("RBL : Not Found\t" + quoted + " cache");
      return 0;
    }
    if (notFound == CacheState::Expired) {
      Log("RBL : Not Found List Cache(server = " + std::to_string(zone) + ")\t\"" +
          std::string(key) + "\" id too old.");
    }
  }

  DnsAnswer answer = resolver_.LookupA(queryName, settings_.dnsTimeout);
  if (answer.status == DnsStatus::Found) {
    for (const auto& address : answer.addresses) {
      if (IsRefusal(zone, address)) {
        answer.status = DnsStatus::Error;
        answer.code = kDnsNoRecovery;
        answer.errorText = "\"" + queryName + "\" answered " + AddressText(address) +
                           ": the blocklist refused the query";
        break;
      }
    }
  }
  if (answer.status == DnsStatus::Found && !answer.addresses.empty() &&
      std::all_of(answer.addresses.begin(), answer.addresses.end(),
                  [&](const auto& address) { return IsIgnored(zone, address); })) {
    answer.status = DnsStatus::NotFound;
  }

  switch (answer.status) {
    case DnsStatus::Found:
      if (!key.empty()) {
        std::lock_guard lock(mutex_);
        Remember(foundCache_[zone], cacheKey, now, kFoundLifetime);
      }
      Log("RBL : Found\t" + quoted);
      return 1;
    case DnsStatus::NotFound:
      if (!key.empty()) {
        std::lock_guard lock(mutex_);
        Remember(notFoundCache_[zone], cacheKey, now, kNotFoundLifetime);
      }
      Log("RBL : Not Found\t" + quoted);
      return 0;
    case DnsStatus::Error:
      break;
  }
  {
    std::lock_guard lock(mutex_);
    lastError_[zone] =
        answer.errorText.empty() ? "code " + std::to_string(answer.code) : answer.errorText;
    ++failureCount_[zone];
  }
  Log("RBL : ********  ERROR ( server = " + std::to_string(zone) +
      ", code = " + std::to_string(answer.code) + ") ********");
  return -1;
}

std::string BlocklistResolver::LastError(int zone) const {
  if (zone < 0 || zone >= kZoneCount) return {};
  std::lock_guard lock(mutex_);
  return lastError_[zone];
}

std::uint64_t BlocklistResolver::FailureCount(int zone) const {
  if (zone < 0 || zone >= kZoneCount) return 0;
  std::lock_guard lock(mutex_);
  return failureCount_[zone];
}

}  // namespace qm
