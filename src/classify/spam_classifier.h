// Decides a message's verdict by a fixed order of rules; the first that fires decides: the empty
// sender rule, the friend list, the bad list, the hosts of the body's links, the sender domains,
// the relay addresses. Shared by every thread that classifies.
//
// The blocklist rules of one message are bounded, so that no message can hold a retrieval for
// long: each look-up may wait for a silent DNS server, and a hostile body can name thousands of
// hosts.
//
// The three blocklist rules are one ordered list of questions (key and zone), exactly those that
// asking one after another would ask. Their distinct questions are asked several at once, and the
// answers are then read in the list's order: the first listed one decides, as if the questions
// had been asked in turn. Questions after the deciding one may have been asked as well; their
// answers never count.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "classify/sender_lists.h"
#include "classify/zone_lookup.h"
#include "message/classifier.h"
#include "message/mail_mark.h"

namespace qm {

class CMailMessage;
class LookupPool;

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
  // mail never comes near it; a silent one ends the message's rules after a few rounds.
  static constexpr int kLookupBudgetInTimeouts = 6;
  // Look-ups of one message waiting for an answer at the same time, at most. A message with a
  // score of links asks around a hundred distinct questions: five rounds of answers.
  static constexpr std::size_t kLookupsInFlight = 20;

  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // Told of each look-up whose answer counts, in the order of the rules, on the thread that
  // classifies: the key, the zone and what IZoneLookup::Lookup answered.
  using LookupObserver = std::function<void(std::string_view key, int zone, int result)>;

  // `clock` measures the look-up budget; tests replace it. With `lookupsInFlight` above 1 the
  // blocklists and the clock are called from several threads at once; 1 asks every question on
  // the classifying thread, one after another.
  SpamClassifier(CSenderLists& lists, IZoneLookup& blocklists, Clock clock = {},
                 std::size_t lookupsInFlight = kLookupsInFlight);
  // No classification may be in progress.
  ~SpamClassifier() override;
  SpamClassifier(const SpamClassifier&) = delete;
  SpamClassifier& operator=(const SpamClassifier&) = delete;

  // Writes the verdict and reason into the message's mark (other bits untouched). The message
  // must have been parsed; its body and walks are used up.
  void Classify(CMailMessage& message) override;

  // When the look-up budget runs out, the rules not yet decided are skipped: the verdict is
  // "other".
  std::pair<Verdict, Reason> Decide(CMailMessage& message);
  std::pair<Verdict, Reason> Decide(CMailMessage& message, const LookupObserver& observer);

  // For good, from any thread: every look-up from now on is skipped as if the budget were spent,
  // so that a classification in progress ends once the look-ups it is waiting for have answered.
  void Stop() { stopped = true; }

 private:
  struct Question {
    std::string key;
    int zone = 0;
    // The index of the first question with the same key and zone; its own index when none
    // comes before it.
    std::size_t first = 0;
  };
  struct Questions {
    std::vector<Question> list;
    // Log lines of the limits, each with the index of the question it comes before.
    std::vector<std::pair<std::size_t, std::string>> notices;
    // The index of the first question of each zone and key ("3:key").
    std::unordered_map<std::string, std::size_t> firsts;
    void Add(std::string_view key, int zone);
  };

  static void CollectLinkHosts(CMailMessage& message, Questions& questions);
  static void CollectSenderDomains(CMailMessage& message, Questions& questions);
  static void CollectRelays(CMailMessage& message, Questions& questions);
  // Whether the budget lets one more question be asked.
  bool MayAsk(std::chrono::steady_clock::time_point deadline) const;

  CSenderLists& lists;
  IZoneLookup& blocklists;
  Clock clock;
  std::atomic<bool> stopped{false};
  std::unique_ptr<LookupPool> pool;
};

}  // namespace qm
