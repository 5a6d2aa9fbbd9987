// Retrievals classify on their own threads while the user changes the lists on another; each
// classification asks its look-ups on several threads at once, which share one resolver and its
// caches.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "message/mail_message.h"
#include "platform/socket.h"

namespace qm {
namespace {

TEST(ClassifyConcurrencyTest, ThreadsClassifyWhileTheListsChange) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings;
  settings.zones = {".z0.test", ".z1.test", ".z2.test", ".z3.test"};
  dns.Listed("bad.example.z0.test");
  {
    BlocklistResolver blocklists(settings, dns);
    CSenderLists lists;
    SpamClassifier classifier(lists, blocklists);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 200; ++round) {
          // Hosts new to the caches before the listed one, which the threads share.
          const std::string fresh = std::to_string(t) + "-" + std::to_string(round);
          CMailMessage message;
          message.Parse("From: s" + std::to_string(t) + "@x.example\r\nReceived: [192.0.2." +
                        std::to_string(round % 200) + "]\r\n\r\nhttp://a." + fresh +
                        ".example/ http://b." + fresh +
                        ".example/\r\nhttp://www.bad.example/\r\n.\r\n");
          classifier.Classify(message);
          const int verdict = message.mark.GetVerdict();
          const unsigned reason = message.mark.GetReason();
          // A friend while listed, else spam by the link host: never anything else.
          if (verdict != VerdictFriend && (verdict != VerdictSpam || reason != ReasonUrlHostZone)) {
            ++wrong;
          }
        }
      });
    }
    std::thread user([&] {
      for (int round = 0; !stop && round < 2000; ++round) {
        const std::string address = "s" + std::to_string(round % 4) + "@";
        lists.AddFriend(address);
        lists.AddBad("other" + std::to_string(round) + "@");
        lists.RemoveFriend(address);
      }
    });
    for (auto& thread : threads) thread.join();
    stop = true;
    user.join();
    EXPECT_EQ(wrong.load(), 0);
  }
  SetReporter(nullptr);
}

// Look-ups that wait until they are let go, counting how many wait at once.
class HeldZones : public IZoneLookup {
 public:
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
  SetReporter(&log);
  HeldZones zones;
  CSenderLists lists;
  SpamClassifier classifier(lists, zones);
  std::string body;
  for (int i = 0; i < 30; ++i) body += "http://h" + std::to_string(i) + ".example/\r\n";
  CMailMessage message;
  message.Parse("From: a@sender.example\r\n\r\n" + body + ".\r\n");
  std::pair<Verdict, Reason> result{VerdictSpam, ReasonUrlHostZone};
  std::thread classifying([&] { result = classifier.Decide(message); });
  {
    std::unique_lock lock(zones.mutex);
    zones.changed.wait(lock, [&] { return zones.waiting >= 20; });
    // A 21st look-up would start at once; give it the chance to show.
    zones.changed.wait_for(lock, std::chrono::milliseconds(500),
                           [&] { return zones.waiting > 20; });
  }
  classifier.Stop();
  {
    std::lock_guard lock(zones.mutex);
    zones.released = true;
  }
  zones.changed.notify_all();
  classifying.join();
  SetReporter(nullptr);
  // No look-up starts after the stop, nor more than 20 at once before it.
  EXPECT_EQ(zones.waiting, 20);
  EXPECT_EQ(result, std::make_pair(VerdictOther, ReasonNone));
  const std::vector<std::string> lines = log.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("its remaining blocklist rules are skipped"), std::string::npos);
}

TEST(BlocklistConcurrencyTest, ThreadsLookUpOverlappingKeysWhileEntriesExpire) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings;
  settings.zones = {".z0.test", ".z1.test", ".z2.test", ".z3.test"};
  for (int i = 0; i < 20; i += 2) dns.Listed("k" + std::to_string(i) + ".z1.test");
  dns.Failing("k5.z1.test", kDnsTryAgain);
  // The clock runs on with every reading, so entries keep expiring under the threads' feet.
  std::atomic<std::int64_t> clock{1'000'000};
  {
    BlocklistResolver blocklists(settings, dns, [&clock] { return clock.fetch_add(7); });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 300; ++round) {
          const int i = (round + t) % 20;
          const int result = blocklists.Lookup("k" + std::to_string(i), RelayZoneA);
          const int expected = i == 5 ? -1 : (i % 2 == 0 ? 1 : 0);
          if (result != expected) ++wrong;
          (void)blocklists.LastError(RelayZoneA);
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
  }
  SetReporter(nullptr);
  EXPECT_FALSE(log.Take().empty());
}

// Each look-up of the c-ares resolver works on a channel of its own; the library set-up is
// shared and must happen once.
TEST(BlocklistConcurrencyTest, ResolverLooksUpFromSeveralThreadsAtOnce) {
  std::uint16_t port = 0;
  {
    CTcpListener probe;  // a loopback port that nobody serves: answers are quick refusals
    ASSERT_EQ(probe.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    port = probe.Port();
  }
  CAresResolver resolver({"127.0.0.1:" + std::to_string(port)});
  ASSERT_EQ(resolver.SetupError(), "");
  std::atomic<int> answered{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 5; ++round) {
        const DnsAnswer answer = resolver.LookupA("k" + std::to_string(t * 10 + round) + ".z1.test",
                                                  std::chrono::milliseconds{300});
        if (answer.status == DnsStatus::Error) ++answered;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(answered.load(), 20);
}

}  // namespace
}  // namespace qm
