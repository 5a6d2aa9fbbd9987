#include "app/classification.h"

#include <chrono>

namespace qm {

BlocklistSettings CClassification::ReadBlocklistSettings(const CSettings& settings) {
  BlocklistSettings blocklist;
  const CProfile& profile = settings.Profile();
  for (std::size_t zone = 0; zone < blocklist.zones.size(); ++zone) {
    const std::string index = std::to_string(zone);
    blocklist.zones[zone] =
        profile.GetString(settings::kBlocklistSection, "Zone" + index, blocklist.zones[zone]);
    const std::string refusals =
        profile.GetString(settings::kBlocklistSection, "Refuse" + index, "");
    if (!refusals.empty()) blocklist.refusals[zone] = SplitSettingsList(refusals);
    // An empty value ignores nothing; only an absent key keeps the default. A value cannot
    // hold a line break, so that default tells the two apart.
    const std::string ignored =
        profile.GetString(settings::kBlocklistSection, "Ignore" + index, "\n");
    if (ignored != "\n") blocklist.ignored[zone] = SplitSettingsList(ignored);
  }
  blocklist.dnsServers = SplitSettingsList(settings.Get(settings::DnsServers));
  const int timeout = settings.Get(settings::DnsTimeout);
  blocklist.dnsTimeout =
      std::chrono::seconds(timeout > 0 ? timeout : settings::DnsTimeout.defaultValue);
  return blocklist;
}

CClassification::CClassification(const CSettings& settings)
    : blocklists(std::make_unique<BlocklistResolver>(ReadBlocklistSettings(settings))),
      classifier(std::make_unique<SpamClassifier>(lists, *blocklists)) {}

std::string CClassification::NewBlocklistTrouble() {
  std::lock_guard lock(troubleLock);
  std::string text;
  for (int zone = 0; zone < kZoneCount; ++zone) {
    const auto slot = static_cast<std::size_t>(zone);
    const std::uint64_t failures = blocklists->FailureCount(zone);
    if (failures == reportedFailures[slot]) continue;
    reportedFailures[slot] = failures;
    // One text at a time: the first failing zone; the log has every failed look-up.
    if (text.empty()) {
      text = "ブロックリスト " + blocklists->Settings().zones[slot] + " が使えません ( " +
             blocklists->LastError(zone) + " )";
    }
  }
  return text;
}

void CClassification::Load(const std::string& directory, const CSettings& settings) {
  lists.Load(directory);
  lists.SetAddEmptyAddrToBadlist(settings.Get(settings::AddEmptyAddrToBadlist) != 0);
}

}  // namespace qm
