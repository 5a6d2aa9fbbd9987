// Retrievals classify on their own threads while the user changes the lists; each classification
// asks its look-ups on several threads, sharing one resolver and its caches.
#include <gtest/gtest.h>

#include <atomic>
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

using namespace std::chrono_literals;

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
  dns.answers["k5.z1.test"] = {DnsStatus::Error, {}, kDnsTryAgain, "scripted failure"};
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
  const auto classify = [&](int t) {
    int wrong = 0;
    for (int round = 0; round < 200; ++round) {
      const std::string fresh = std::to_string(t) + "-" + std::to_string(round);
      const int k = (round + t) % 20;
      wrong += blocklists.Lookup("k" + std::to_string(k), RelayZoneA) != (k == 5 ? -1 : k % 2 == 0);
      (void)blocklists.LastError(RelayZoneA);
      // Hosts new to the caches before the listed one, which the threads share.
      CMailMessage message;
      message.Parse("From: s" + std::to_string(t % 4) + "@x.example\r\nReceived: [192.0.2." +
                    std::to_string(round) + "] by y; 3 Jun 2024 15:00:00 +0900\r\n\r\nhttp://a." +
                    fresh + ".example/ http://b." + fresh +
                    ".example/\r\nhttp://www.bad.example/\r\n.\r\n");
      classifier.Classify(message);
      std::int64_t date = 0;
      wrong += !message.ReceivedDate(date) ||
               message.SenderAddress() != "s" + std::to_string(t % 4) + "@x.example";
      // A friend while listed, else spam by the link host: never anything else.
      const int verdict = message.mark.GetVerdict();
      wrong += verdict != VerdictFriend &&
               (verdict != VerdictSpam || message.mark.GetReason() != ReasonUrlHostZone);
    }
    return wrong;
  };
  EXPECT_EQ(SumOnThreads(6, classify), 0);
  stop = true;
  user.join();
  // c-ares: a channel per look-up, library set-up once. Nobody serves the port: quick refusals.
  CAresResolver resolver({"127.0.0.1:" + std::to_string(FreeLoopbackPort())});
  const auto refused = [&](int t) {
    return resolver.LookupA("k" + std::to_string(t) + ".z1.test", 300ms).status == DnsStatus::Error;
  };
  EXPECT_EQ(SumOnThreads(8, refused), 8);
}

TEST(ClassifyConcurrencyTest, StopEndsAClassificationOnceTheLookUpsInFlightAnswer) {
  LogRecorder log;
  FakeZones zones;
  zones.held = true;
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
    // Twenty wait at once; a 21st would start at once: give it the chance to show.
    zones.changed.wait(lock, [&] { return zones.asked.size() >= 20; });
    zones.changed.wait_for(lock, std::chrono::milliseconds(500),
                           [&] { return zones.asked.size() > 20; });
    classifier.Stop();
    zones.held = false;
  }
  zones.changed.notify_all();
  classifying.join();
  // No look-up starts after the stop, nor more than 20 at once before it.
  EXPECT_EQ(std::to_string(zones.asked.size()) + " " + std::to_string(result.first) + " " +
                std::to_string(log.Take().size()),
            "20 " + std::to_string(VerdictOther) + " 1");
}

}  // namespace
}  // namespace qm
