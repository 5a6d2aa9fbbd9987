// Retrievals classify on their own threads while the user changes the lists on another; each
// classification asks its look-ups on several threads at once, sharing one resolver and its caches.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "classify/fake_dns.h"
#include "classify/spam_classifier.h"
#include "message/mail_message.h"
#include "platform/socket.h"

namespace qm {
namespace {

// Runs body(t) on `count` threads at once; the sum of what they return.
int SumOnThreads(int count, const std::function<int(int)>& body) {
  std::atomic<int> sum{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back([&, t] { sum += body(t); });
  for (auto& thread : threads) thread.join();
  return sum;
}

// The shared caches expire under the threads' feet: the clock runs on with every reading.
TEST(ClassifyConcurrencyTest, ThreadsClassifyWhileTheListsChangeAndEntriesExpire) {
  LogRecorder log;
  FakeDnsResolver dns;
  dns.Listed("bad.example.z0.test");
  for (int i = 0; i < 20; i += 2) dns.Listed("k" + std::to_string(i) + ".z1.test");
  dns.Answer("k5.z1.test", {DnsStatus::Error, {}, kDnsTryAgain, "scripted failure"});
  BlocklistSettings settings;
  settings.zones = {".z0.test", ".z1.test", ".z2.test", ".z3.test"};
  std::atomic<std::int64_t> clock{1'000'000};
  BlocklistResolver blocklists(settings, dns, [&clock] { return clock.fetch_add(7); });
  CSenderLists lists;
  SpamClassifier classifier(lists, blocklists);
  std::atomic<bool> stop{false};
  std::thread user([&] {
    for (int round = 0; !stop && round < 2000; ++round) {
      lists.AddFriend("s" + std::to_string(round % 4) + "@");
      lists.AddBad("other" + std::to_string(round) + "@");
      lists.RemoveFriend("s" + std::to_string(round % 4) + "@");
    }
  });
  EXPECT_EQ(
      SumOnThreads(6,
                   [&](int t) {
                     int wrong = 0;
                     for (int round = 0; round < 200; ++round) {
                       const std::string fresh = std::to_string(t) + "-" + std::to_string(round);
                       const int k = (round + t) % 20;
                       wrong += blocklists.Lookup("k" + std::to_string(k), RelayZoneA) !=
                                (k == 5 ? -1 : k % 2 == 0);
                       (void)blocklists.LastError(RelayZoneA);
                       // Hosts new to the caches before the listed one, which the threads share.
                       CMailMessage message;
                       message.Parse("From: s" + std::to_string(t % 4) +
                                     "@x.example\r\nReceived: [192.0.2." + std::to_string(round) +
                                     "]\r\n\r\nhttp://a." + fresh + ".example/ http://b." + fresh +
                                     ".example/\r\nhttp://www.bad.example/\r\n.\r\n");
                       classifier.Classify(message);
                       // A friend while listed, else spam by the link host: never anything else.
                       wrong += message.mark.GetVerdict() != VerdictFriend &&
                                (message.mark.GetVerdict() != VerdictSpam ||
                                 message.mark.GetReason() != ReasonUrlHostZone);
                     }
                     return wrong;
                   }),
      0);
  stop = true;
  user.join();
  // Each look-up of the c-ares resolver works on a channel of its own; the library set-up is
  // shared and must happen once. Nobody serves the port: answers are quick refusals.
  std::uint16_t port = 0;
  {
    CTcpListener probe;
    ASSERT_EQ(probe.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    port = probe.Port();
  }
  CAresResolver resolver({"127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(SumOnThreads(4,
                         [&](int t) {
                           for (int round = 0; round < 5; ++round) {
                             const auto answer =
                                 resolver.LookupA("k" + std::to_string(t * 10 + round) + ".z1.test",
                                                  std::chrono::milliseconds{300});
                             if (answer.status != DnsStatus::Error) return 1;
                           }
                           return 0;
                         }),
            0);
}

// Look-ups that wait until they are let go, counting how many wait at once.
struct HeldZones : IZoneLookup {
  int Lookup(std::string_view, int) override {
    std::unique_lock lock(mutex);
    ++waiting;
    changed.notify_all();
    changed.wait(lock, [this] { return released; });
    return 0;
  }
  std::mutex mutex;
  std::condition_variable changed;
  int waiting = 0;
  bool released = false;
};

TEST(ClassifyConcurrencyTest, StopEndsAClassificationOnceTheLookUpsInFlightAnswer) {
  LogRecorder log;
  HeldZones zones;
  CSenderLists lists;
  SpamClassifier classifier(lists, zones);
  std::string text = "From: a@sender.example\r\n\r\n";
  for (int i = 0; i < 30; ++i) text += "http://h" + std::to_string(i) + ".example/\r\n";
  CMailMessage message;
  message.Parse(text + ".\r\n");
  std::pair<Verdict, Reason> result{VerdictSpam, ReasonUrlHostZone};
  std::thread classifying([&] { result = classifier.Decide(message); });
  {
    std::unique_lock lock(zones.mutex);
    zones.changed.wait(lock, [&] { return zones.waiting >= 20; });
    // A 21st look-up would start at once; give it the chance to show.
    zones.changed.wait_for(lock, std::chrono::milliseconds(500),
                           [&] { return zones.waiting > 20; });
    classifier.Stop();
    zones.released = true;
  }
  zones.changed.notify_all();
  classifying.join();
  // No look-up starts after the stop, nor more than 20 at once before it.
  EXPECT_EQ(zones.waiting, 20);
  EXPECT_EQ(result, std::make_pair(VerdictOther, ReasonNone));
  EXPECT_EQ(log.Take().size(), 1u);
}

}  // namespace
}  // namespace qm
