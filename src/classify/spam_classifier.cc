#include "classify/spam_classifier.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>
#include <vector>

#include "message/mail_message.h"
#include "message/pattern_set.h"
#include "platform/report.h"

namespace qm {

namespace {

constexpr std::size_t kMaxLabelStarts = 10;

// Whether a relay address (a reversed dotted quad, as the Received walk gives it) can be on a
// public blocklist at all. Asking about private, loopback, link-local, shared or reserved
// addresses only tells a public list about the user's own network.
bool IsPublicRelay(std::string_view reversedKey) {
  std::array<unsigned, 4> part{};
  std::size_t at = 0;
  for (int i = 3; i >= 0; --i) {
    unsigned value = 0;
    std::size_t digits = 0;
    while (at < reversedKey.size() && reversedKey[at] >= '0' && reversedKey[at] <= '9') {
      value = value * 10 + static_cast<unsigned>(reversedKey[at++] - '0');
      if (++digits > 3) return true;
    }
    if (digits == 0 || value > 255) return true;  // not an address: asked as it is
    part[static_cast<std::size_t>(i)] = value;
    if (i > 0 && (at >= reversedKey.size() || reversedKey[at++] != '.')) return true;
  }
  if (at != reversedKey.size()) return true;
  const unsigned a = part[0];
  const unsigned b = part[1];
  return !(a == 0 || a == 10 || a == 127 || a >= 240 || (a == 100 && (b & 0xC0) == 64) ||
           (a == 169 && b == 254) || (a == 172 && (b & 0xF0) == 16) || (a == 192 && b == 168));
}

// The dotted quad anywhere in a host, reversed as a blocklist key; empty when there is none or
// a part has more than three digits (then it is no address, and the host is looked up by name).
std::string ReversedQuad(std::string_view host, BRegexp& handle) {
  if (BMatch(PatternSet::AddressPattern, host.data(), host.data() + host.size(), handle) <= 0) {
    return {};
  }
  std::string key;
  for (int group = 4; group >= 1; --group) {
    if (handle.Group(group).size() > 3) return {};
    key.append(handle.Group(group));
    if (group > 1) key.push_back('.');
  }
  return key;
}

}  // namespace

SpamClassifier::SpamClassifier(CSenderLists& senderLists, IZoneLookup& zoneLookup, Clock now)
    : lists(senderLists), blocklists(zoneLookup), clock(std::move(now)) {
  if (!clock) clock = [] { return std::chrono::steady_clock::now(); };
}

void SpamClassifier::Classify(CMailMessage& message) {
  const auto [verdict, reason] = Decide(message);
  message.mark.SetClassification(verdict, reason);
}

std::pair<Verdict, Reason> SpamClassifier::Decide(CMailMessage& message) {
  const std::string& address = message.SenderAddress();
  if (address.empty() && lists.AddEmptyAddrToBadlist()) return {VerdictBad, ReasonBadList};
  if (lists.InFriendList(address)) return {VerdictFriend, ReasonFriendList};
  if (lists.InBadList(address)) return {VerdictBad, ReasonBadList};
  const auto allowed = kLookupBudgetInTimeouts * blocklists.LookupTimeout();
  Budget budget{clock() + allowed};
  std::pair<Verdict, Reason> result{VerdictOther, ReasonNone};
  if (CheckLinkHosts(message, budget, result)) return result;
  if (CheckSenderDomains(message, budget, result)) return result;
  if (CheckRelays(message, budget, result)) return result;
  if (budget.spent) {
    Log("RBL : The look-ups for one message ( " + address + " ) ran past " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(allowed).count()) +
        " s; its remaining blocklist rules are skipped.");
  }
  return {VerdictOther, ReasonNone};
}

bool SpamClassifier::Listed(std::string_view key, int zone, Budget& budget) {
  if (!budget.spent && (stopped || clock() >= budget.deadline)) budget.spent = true;
  return !budget.spent && blocklists.Lookup(key, zone) > 0;
}

bool SpamClassifier::LookupName(std::string_view name, Budget& budget,
                                std::pair<Verdict, Reason>& result) {
  if (Listed(name, UrlHostZone, budget)) {
    result = {VerdictSpam, ReasonUrlHostZone};
    return true;
  }
  if (Listed(name, DomainZone, budget)) {
    result = {VerdictSpam, ReasonDomainZone};
    return true;
  }
  return false;
}

bool SpamClassifier::CheckLinkHosts(CMailMessage& message, Budget& budget,
                                    std::pair<Verdict, Reason>& result) {
  if (!message.DecodeBody()) return false;
  // Whole names: a link to "bank.example" must not hide one to "bank.example.evil.test".
  std::unordered_set<std::string> seen;
  std::size_t hosts = 0;
  BRegexp handle = PatternSet::Instance().address;
  for (std::string host; !budget.spent && message.NextUrlHost(host);) {
    if (seen.contains(host)) continue;
    if (hosts++ == kMaxLinkHosts) {
      Log("RBL : A message names more than " + std::to_string(kMaxLinkHosts) +
          " link hosts; only the first " + std::to_string(kMaxLinkHosts) + " are looked up.");
      break;
    }
    seen.insert(host);
    const std::string quad = ReversedQuad(host, handle);
    if (!quad.empty()) {
      if (Listed(quad, UrlHostZone, budget)) {
        result = {VerdictSpam, ReasonUrlHostZone};
        return true;
      }
      continue;
    }
    // The host, then the text after each dot; the last label alone is never looked up.
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 0; i < host.size() && starts.size() < kMaxLabelStarts; ++i) {
      if (host[i] == '.') starts.push_back(i + 1);
    }
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
      if (LookupName(std::string_view(host).substr(starts[i]), budget, result)) return true;
    }
  }
  return false;
}

bool SpamClassifier::CheckSenderDomains(CMailMessage& message, Budget& budget,
                                        std::pair<Verdict, Reason>& result) {
  // One set of parts for the three fields: a value that does not split leaves the previous
  // field's parts in place, as senders have always been judged.
  AddressParts parts;
  for (const char* field : {"from", "return-path", "return-to"}) {
    std::string value;
    if (!message.GetField(field, value)) continue;
    SplitAddress(value, parts);
    // Nothing to ask the blocklists about.
    if (parts.domain.empty()) continue;
    if (LookupName(parts.domain, budget, result)) return true;
  }
  return false;
}

bool SpamClassifier::CheckRelays(CMailMessage& message, Budget& budget,
                                 std::pair<Verdict, Reason>& result) {
  message.ResetReceivedWalk();
  std::vector<std::string> asked;
  for (std::string address; !budget.spent && message.NextReceivedAddress(address);) {
    if (!IsPublicRelay(address)) continue;
    // A repeated address is answered from the caches and costs nothing.
    if (std::find(asked.begin(), asked.end(), address) == asked.end()) {
      if (asked.size() == kMaxRelayAddresses) {
        Log("RBL : A message names more than " + std::to_string(kMaxRelayAddresses) +
            " relay addresses; only the first " + std::to_string(kMaxRelayAddresses) +
            " are looked up.");
        break;
      }
      asked.push_back(address);
    }
    if (Listed(address, RelayZoneA, budget)) {
      result = {VerdictSpam, ReasonRelayZoneA};
      return true;
    }
    if (Listed(address, RelayZoneB, budget)) {
      result = {VerdictSpam, ReasonRelayZoneB};
      return true;
    }
  }
  return false;
}

}  // namespace qm
