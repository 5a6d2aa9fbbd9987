// Several classifying threads share one resolver and its caches.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "platform/socket.h"

namespace qm {
namespace {

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
