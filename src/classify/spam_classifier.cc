#include "classify/spam_classifier.h"

#include <string>
#include <vector>

#include "classify/text_list.h"
#include "message/mail_message.h"
#include "message/pattern_set.h"

namespace qm {

namespace {

constexpr std::size_t kMaxLabelStarts = 10;
constexpr std::string_view kLoopback = "1.0.0.127";

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

SpamClassifier::SpamClassifier(CSenderLists& senderLists, IZoneLookup& zoneLookup)
    : lists(senderLists), blocklists(zoneLookup) {}

void SpamClassifier::Classify(CMailMessage& message) {
  const auto [verdict, reason] = Decide(message);
  message.mark.SetClassification(verdict, reason);
}

std::pair<Verdict, Reason> SpamClassifier::Decide(CMailMessage& message) {
  const std::string& address = message.SenderAddress();
  if (address.empty() && lists.AddEmptyAddrToBadlist()) return {VerdictBad, ReasonBadList};
  if (lists.InFriendList(address)) return {VerdictFriend, ReasonFriendList};
  if (lists.InBadList(address)) return {VerdictBad, ReasonBadList};
  std::pair<Verdict, Reason> result{VerdictOther, ReasonNone};
  if (CheckLinkHosts(message, result)) return result;
  if (CheckSenderDomains(message, result)) return result;
  if (CheckRelays(message, result)) return result;
  return {VerdictOther, ReasonNone};
}

bool SpamClassifier::LookupName(std::string_view name, std::pair<Verdict, Reason>& result) {
  if (blocklists.Lookup(name, UrlHostZone) > 0) {
    result = {VerdictSpam, ReasonUrlHostZone};
    return true;
  }
  if (blocklists.Lookup(name, DomainZone) > 0) {
    result = {VerdictSpam, ReasonDomainZone};
    return true;
  }
  return false;
}

bool SpamClassifier::CheckLinkHosts(CMailMessage& message, std::pair<Verdict, Reason>& result) {
  if (!message.DecodeBody()) return false;
  TextList seen;
  BRegexp handle = PatternSet::Instance().address;
  for (std::string host; message.NextUrlHost(host);) {
    if (seen.Find(host) > 0) continue;
    seen.Insert(host, 0);
    const std::string quad = ReversedQuad(host, handle);
    if (!quad.empty()) {
      if (blocklists.Lookup(quad, UrlHostZone) > 0) {
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
      if (LookupName(std::string_view(host).substr(starts[i]), result)) return true;
    }
  }
  return false;
}

bool SpamClassifier::CheckSenderDomains(CMailMessage& message, std::pair<Verdict, Reason>& result) {
  // One set of parts for the three fields: a value that does not split leaves the previous
  // field's parts in place, as senders have always been judged.
  AddressParts parts;
  for (const char* field : {"from", "return-path", "return-to"}) {
    std::string value;
    if (!message.GetField(field, value)) continue;
    SplitAddress(value, parts);
    // Nothing to ask the blocklists about.
    if (parts.domain.empty()) continue;
    if (LookupName(parts.domain, result)) return true;
  }
  return false;
}

bool SpamClassifier::CheckRelays(CMailMessage& message, std::pair<Verdict, Reason>& result) {
  message.ResetReceivedWalk();
  for (std::string address; message.NextReceivedAddress(address);) {
    if (address == kLoopback) continue;
    if (blocklists.Lookup(address, RelayZoneA) > 0) {
      result = {VerdictSpam, ReasonRelayZoneA};
      return true;
    }
    if (blocklists.Lookup(address, RelayZoneB) > 0) {
      result = {VerdictSpam, ReasonRelayZoneB};
      return true;
    }
  }
  return false;
}

}  // namespace qm
