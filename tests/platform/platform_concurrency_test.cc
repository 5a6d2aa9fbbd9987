// Locks, the settings file and sockets used from several threads at once; run under TSan.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/locks.h"
#include "platform/profile.h"
#include "platform/socket.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

template <typename F>
std::vector<int> OnFourThreads(F body) {
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t, body]() mutable { failures[t] = body(t); });
  for (auto& thread : threads) thread.join();
  return failures;
}
const std::vector<int> kNone(4, 0);

// Nested reentrant sections, a slot taken by waiting, trying with a time-out or polling, and
// overlapping sets wanted in different orders (which deadlocks naive code) stay exclusive; a set
// given up at its time-out returns holding nothing.
TEST(LocksConcurrencyTest, SectionsSlotsAndSetsStayExclusive) {
  CReentrantLock lock;
  std::array<COneSlotSemaphore, 3> slots;
  std::array<std::atomic<int>, 3> holders{};
  std::atomic<int> inside{0};
  long counters[2] = {};
  EXPECT_EQ(OnFourThreads([&](int t) {
              int overlaps = 0;
              std::mt19937 random(static_cast<unsigned>(t));
              for (int i = 0; i < 3000; ++i) {
                {
                  CReentrantGuard outer(lock), inner(lock);
                  overlaps += inside.fetch_add(1) != 0;
                  ++counters[0];
                  inside.fetch_sub(1);
                }
                if (t == 0) {
                  slots[0].Acquire();
                } else if (t == 1) {
                  while (!slots[0].TryAcquire()) std::this_thread::yield();
                } else if (!slots[0].TryAcquireFor(60s)) {
                  ++overlaps;
                  continue;
                }
                ++counters[1];
                slots[0].Release();
                std::vector<COneSlotSemaphore*> set;
                for (auto& slot : slots)
                  if (random() % 2 == 0) set.push_back(&slot);
                if (set.empty()) set.push_back(&slots[random() % 3]);
                if (random() % 2 == 0) std::reverse(set.begin(), set.end());
                const std::chrono::milliseconds wait(i % 4 ? 60000 : i % 3);
                if (!AcquireAll(set, wait)) {
                  overlaps += wait > 1s;  // only the short waits may give up
                  continue;
                }
                for (auto* s : set) overlaps += holders[s - slots.data()].fetch_add(1) != 0;
                for (auto* s : set) holders[s - slots.data()].fetch_sub(1), s->Release();
              }
              return overlaps;
            }),
            kNone);
  EXPECT_TRUE(counters[0] == 4 * 3000 && counters[1] == 4 * 3000);
  for (auto& slot : slots) EXPECT_TRUE(slot.TryAcquire()) << "every slot is free again";
}

TEST(SharedObjectsConcurrencyTest, OneProfile) {
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  const auto key = [](int t, int i) { return "k" + std::to_string(t) + "_" + std::to_string(i); };
  EXPECT_EQ(OnFourThreads([&](int t) {
              int failures = 0;
              for (int i = 0; i < 15; ++i) {
                const std::string section = "S" + std::to_string(t % 2);
                failures += !profile.WriteInt(section, key(t, i), i) ||
                            profile.GetInt(section, key(t, i), -1) != i;
              }
              return failures;
            }),
            kNone);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 15; ++i)
      EXPECT_EQ(profile.GetInt("S" + std::to_string(t % 2), key(t, i), -1), i);
}

// Shutdown from another thread (as a stop frees a blocked session) never hits a reused descriptor.
TEST(SocketConcurrencyTest, ShutdownWhileTheOwnerClosesIsHarmless) {
  CTcpListener listener;
  CTcpConnection client, server, other, otherServer;
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 8), ListenResult::Listening);
  ASSERT_EQ(client.Connect("127.0.0.1", listener.Port(), 10s), ConnectResult::Connected);
  ASSERT_EQ(listener.Accept(server, 10s), AcceptResult::Accepted);
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    while (!stop) server.Shutdown();
  });
  server.Close();  // the next connection is likely to get the freed descriptor number
  ASSERT_EQ(other.Connect("127.0.0.1", listener.Port(), 10s), ConnectResult::Connected);
  ASSERT_EQ(listener.Accept(otherServer, 10s), AcceptResult::Accepted);
  std::this_thread::sleep_for(20ms);
  stop = true;
  stopper.join();
  ASSERT_TRUE(otherServer.Send("+OK\r\n"));
  char buffer[8];
  EXPECT_EQ(other.Receive(buffer, sizeof buffer, 10s), 5);
}

}  // namespace
}  // namespace qm
