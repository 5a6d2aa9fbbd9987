// Decides a message's verdict by a fixed order of rules; the first that fires decides: the empty
// sender rule, the friend list, the bad list, the hosts of the body's links, the sender domains,
// the relay addresses. Shared by every thread that classifies.
//
// The blocklist rules of one message are bounded, so that no message can hold a retrieval for
// long: each look-up may wait for a silent DNS server, and a hostile body can name thousands of
// hosts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <utility>

#include "classify/sender_lists.h"
#include "classify/zone_lookup.h"
#include "message/classifier.h"
#include "message/mail_mark.h"

namespace qm {

class CMailMessage;

class SpamClassifier : public IClassifier {
 public:
  // Distinct link hosts looked up per message (each costs up to eighteen look-ups). A newsletter
  // has dozens of links but rarely more than a dozen distinct hosts.
  static constexpr std::size_t kMaxLinkHosts = 32;
  // Distinct relay addresses looked up per message (two look-ups each). A Received chain has a
  // handful of relays; large providers add internal hops, rarely more than a dozen addresses.
  static constexpr std::size_t kMaxRelayAddresses = 24;
  // All look-ups of one message together may take as long as this many look-ups that time out
  // (30 s with the default DNS time-out). Answering DNS servers take milliseconds, so ordinary
  // mail never comes near it; a silent one ends the message's rules after a few tries.
  static constexpr int kLookupBudgetInTimeouts = 6;

  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  // `clock` measures the look-up budget; tests replace it.
  SpamClassifier(CSenderLists& lists, IZoneLookup& blocklists, Clock clock = {});

  // Writes the verdict and reason into the message's mark (other bits untouched). The message
  // must have been parsed; its body and walks are used up.
  void Classify(CMailMessage& message) override;

  // When the look-up budget runs out, the rules not yet decided are skipped: the verdict is
  // "other".
  std::pair<Verdict, Reason> Decide(CMailMessage& message);

  // For good, from any thread: every look-up from now on is skipped as if the budget were spent,
  // so that a classification in progress ends after the one look-up it is waiting for.
  void Stop() { stopped = true; }

 private:
  struct Budget {
    std::chrono::steady_clock::time_point deadline;
    bool spent = false;
  };

  // A look-up within the budget; once it is spent, nothing is asked and the key counts as not
  // listed.
  bool Listed(std::string_view key, int zone, Budget& budget);
  // Zone 0, then zone 3, for a host or a domain.
  bool LookupName(std::string_view name, Budget& budget, std::pair<Verdict, Reason>& result);
  bool CheckLinkHosts(CMailMessage& message, Budget& budget, std::pair<Verdict, Reason>& result);
  bool CheckSenderDomains(CMailMessage& message, Budget& budget,
                          std::pair<Verdict, Reason>& result);
  bool CheckRelays(CMailMessage& message, Budget& budget, std::pair<Verdict, Reason>& result);

  CSenderLists& lists;
  IZoneLookup& blocklists;
  Clock clock;
  std::atomic<bool> stopped{false};
};

}  // namespace qm
