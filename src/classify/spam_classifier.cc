#include "classify/spam_classifier.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "classify/lookup_pool.h"
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

Reason ReasonOfZone(int zone) {
  switch (zone) {
    case UrlHostZone:
      return ReasonUrlHostZone;
    case RelayZoneA:
      return ReasonRelayZoneA;
    case RelayZoneB:
      return ReasonRelayZoneB;
    default:
      return ReasonDomainZone;
  }
}

}  // namespace

SpamClassifier::SpamClassifier(CSenderLists& senderLists, IZoneLookup& zoneLookup, Clock now,
                               std::size_t lookupsInFlight)
    : lists(senderLists), blocklists(zoneLookup), clock(std::move(now)) {
  if (!clock) clock = [] { return std::chrono::steady_clock::now(); };
  if (lookupsInFlight > 1) pool = std::make_unique<LookupPool>(lookupsInFlight - 1);
}

SpamClassifier::~SpamClassifier() = default;

void SpamClassifier::Classify(CMailMessage& message) {
  const auto [verdict, reason] = Decide(message);
  message.mark.SetClassification(verdict, reason);
}

std::pair<Verdict, Reason> SpamClassifier::Decide(CMailMessage& message) {
  return Decide(message, {});
}

// The answers are read in the order of the questions, exactly as asking them one after another
// would have met them: a listed answer decides, a question the budget left unasked ends the
// rules. Only the order of the log differs: the resolver logs each answer as it comes, so with
// questions asked at once its lines follow the order of the answers, lines of questions after
// the deciding one may be among them, and the lines of this walk (the limits, the spent budget)
// come after them. A repeated question is asked again during the walk, when its first answer
// is in the caches, so that it costs what it always has.
std::pair<Verdict, Reason> SpamClassifier::Decide(CMailMessage& message,
                                                  const LookupObserver& observer) {
  const std::string& address = message.SenderAddress();
  if (address.empty() && lists.AddEmptyAddrToBadlist()) return {VerdictBad, ReasonBadList};
  if (lists.InFriendList(address)) return {VerdictFriend, ReasonFriendList};
  if (lists.InBadList(address)) return {VerdictBad, ReasonBadList};
  const auto allowed = kLookupBudgetInTimeouts * blocklists.LookupTimeout();
  const auto deadline = clock() + allowed;

  Questions questions;
  CollectLinkHosts(message, questions);
  CollectSenderDomains(message, questions);
  CollectRelays(message, questions);
  const std::vector<Question>& list = questions.list;

  // The answers of the first questions of each key and zone, asked at once; empty where one
  // was not asked.
  std::vector<std::optional<int>> answers(list.size());
  std::vector<std::size_t> firsts;
  for (std::size_t i = 0; i < list.size(); ++i) {
    // A zone that is switched off answers at once: no thread needs to wait for it.
    if (list[i].first == i && blocklists.Asks(list[i].zone)) firsts.push_back(i);
  }
  const bool atOnce = pool != nullptr && firsts.size() > 1;
  if (atOnce) {
    pool->Run(firsts.size(), [&](std::size_t n) {
      const Question& question = list[firsts[n]];
      // Every later question has not started either: none of them counts.
      if (!MayAsk(deadline)) return false;
      const int answer = blocklists.Lookup(question.key, question.zone);
      answers[firsts[n]] = answer;
      // A listing decides unless one before it does: what comes after it is not needed.
      return answer <= 0;
    });
  }

  auto notice = questions.notices.begin();
  bool spent = false;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    for (; notice != questions.notices.end() && notice->first == i; ++notice) Log(notice->second);
    if (i == list.size()) break;
    const Question& question = list[i];
    std::optional<int> answer;
    if (atOnce && question.first == i && blocklists.Asks(question.zone)) {
      answer = answers[i];
    } else if (MayAsk(deadline)) {
      answer = blocklists.Lookup(question.key, question.zone);
    }
    if (!answer) {
      spent = true;
      break;
    }
    if (observer) observer(question.key, question.zone, *answer);
    if (*answer > 0) return {VerdictSpam, ReasonOfZone(question.zone)};
  }
  if (spent) {
    Log("RBL : The look-ups for one message ( " + address + " ) ran past " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(allowed).count()) +
        " s; its remaining blocklist rules are skipped.");
  }
  return {VerdictOther, ReasonNone};
}

bool SpamClassifier::MayAsk(std::chrono::steady_clock::time_point deadline) const {
  return !stopped && clock() < deadline;
}

void SpamClassifier::Questions::Add(std::string_view key, int zone) {
  std::string seenKey = std::to_string(zone) + ':';
  seenKey += key;
  const auto [it, added] = firsts.try_emplace(std::move(seenKey), list.size());
  list.push_back(Question{std::string(key), zone, it->second});
}

void SpamClassifier::CollectLinkHosts(CMailMessage& message, Questions& questions) {
  if (!message.DecodeBody()) return;
  // Whole names: a link to "bank.example" must not hide one to "bank.example.evil.test".
  std::unordered_set<std::string> seen;
  std::size_t hosts = 0;
  BRegexp handle = PatternSet::Instance().address;
  for (std::string host; message.NextUrlHost(host);) {
    if (seen.contains(host)) continue;
    if (hosts++ == kMaxLinkHosts) {
      questions.notices.emplace_back(
          questions.list.size(),
          "RBL : A message names more than " + std::to_string(kMaxLinkHosts) +
              " link hosts; only the first " + std::to_string(kMaxLinkHosts) + " are looked up.");
      break;
    }
    seen.insert(host);
    const std::string quad = ReversedQuad(host, handle);
    if (!quad.empty()) {
      questions.Add(quad, UrlHostZone);
      continue;
    }
    // The host, then the text after each dot; the last label alone is never looked up. Each
    // name in zone 0, then zone 3.
    std::vector<std::size_t> starts{0};
    for (std::size_t i = 0; i < host.size() && starts.size() < kMaxLabelStarts; ++i) {
      if (host[i] == '.') starts.push_back(i + 1);
    }
    for (std::size_t i = 0; i + 1 < starts.size(); ++i) {
      const std::string_view name = std::string_view(host).substr(starts[i]);
      questions.Add(name, UrlHostZone);
      questions.Add(name, DomainZone);
    }
  }
}

void SpamClassifier::CollectSenderDomains(CMailMessage& message, Questions& questions) {
  // One set of parts for the three fields: a value that does not split leaves the previous
  // field's parts in place, as senders have always been judged.
  AddressParts parts;
  for (const char* field : {"from", "return-path", "return-to"}) {
    std::string value;
    if (!message.GetField(field, value)) continue;
    SplitAddress(value, parts);
    // Nothing to ask the blocklists about.
    if (parts.domain.empty()) continue;
    questions.Add(parts.domain, UrlHostZone);
    questions.Add(parts.domain, DomainZone);
  }
}

void SpamClassifier::CollectRelays(CMailMessage& message, Questions& questions) {
  message.ResetReceivedWalk();
  std::vector<std::string> seen;
  for (std::string address; message.NextReceivedAddress(address);) {
    if (!IsPublicRelay(address)) continue;
    // A repeated address is answered from the caches and costs nothing.
    if (std::find(seen.begin(), seen.end(), address) == seen.end()) {
      if (seen.size() == kMaxRelayAddresses) {
        questions.notices.emplace_back(questions.list.size(),
                                       "RBL : A message names more than " +
                                           std::to_string(kMaxRelayAddresses) +
                                           " relay addresses; only the first " +
                                           std::to_string(kMaxRelayAddresses) + " are looked up.");
        break;
      }
      seen.push_back(address);
    }
    questions.Add(address, RelayZoneA);
    questions.Add(address, RelayZoneB);
  }
}

}  // namespace qm
