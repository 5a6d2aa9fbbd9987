// Several threads at once on the same locks; run under ThreadSanitizer, which reports any access
// to the counters that the locks fail to order.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "platform/locks.h"

namespace qm {
namespace {

// Runs body(t) on four threads t = 0..3 and waits for them.
template <typename F>
void OnFourThreads(F body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(body, t);
  for (auto& thread : threads) thread.join();
}

TEST(LocksConcurrencyTest, ReentrantLockKeepsNestedSectionsExclusive) {
  CReentrantLock lock;
  long counter = 0;
  std::atomic<int> inside{0}, overlaps{0};
  OnFourThreads([&](int) {
    for (int i = 0; i < 5000; ++i) {
      CReentrantGuard outer(lock);
      overlaps += inside.fetch_add(1) != 0;
      {
        CReentrantGuard inner(lock);
        ++counter;
      }
      if (i % 2 == 0 && lock.TryLock()) counter += lock.Unlock();
      inside.fetch_sub(1);
    }
  });
  EXPECT_EQ(counter, 4 * 7500);
  EXPECT_EQ(overlaps.load(), 0);
}

// Some take the slot by waiting, some by trying with a time-out, one by polling.
TEST(LocksConcurrencyTest, OneSlotSemaphoreAdmitsOneAtATime) {
  COneSlotSemaphore semaphore;
  long counter = 0;
  std::atomic<int> timeouts{0};
  OnFourThreads([&](int t) {
    for (int i = 0; i < 3000; ++i) {
      if (t == 0) {
        semaphore.Acquire();
      } else if (t == 1) {
        while (!semaphore.TryAcquire()) std::this_thread::yield();
      } else if (!semaphore.TryAcquireFor(std::chrono::seconds(60))) {
        ++timeouts;
        continue;
      }
      ++counter;
      semaphore.Release();
    }
  });
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_EQ(counter, 4 * 3000);
  EXPECT_FALSE(semaphore.Release());
}

// Threads want overlapping sets in different orders, the pattern that deadlocks naive code.
TEST(LocksConcurrencyTest, AcquireAllOnOverlappingSetsNeitherDeadlocksNorOverlaps) {
  std::array<COneSlotSemaphore, 3> semaphores;
  std::array<long, 3> counters{};
  std::array<std::atomic<int>, 3> holders{};
  std::atomic<int> failures{0};
  OnFourThreads([&](int t) {
    std::mt19937 random(static_cast<unsigned>(t));
    for (int i = 0; i < 1500; ++i) {
      std::vector<int> chosen;
      for (int s = 0; s < 3; ++s) {
        if (random() % 2 == 0) chosen.push_back(s);
      }
      if (chosen.empty()) chosen.push_back(static_cast<int>(random() % 3));
      if (random() % 2 == 0) std::reverse(chosen.begin(), chosen.end());
      std::vector<COneSlotSemaphore*> set;
      for (int s : chosen) set.push_back(&semaphores[s]);
      if (!AcquireAll(set, std::chrono::seconds(60))) {
        ++failures;
        continue;
      }
      for (int s : chosen) failures += holders[s].fetch_add(1) != 0, ++counters[s];
      for (int s : chosen) holders[s].fetch_sub(1);
      for (COneSlotSemaphore* semaphore : set) semaphore->Release();
    }
  });
  EXPECT_EQ(failures.load(), 0);
  for (auto& semaphore : semaphores)
    EXPECT_TRUE(semaphore.TryAcquire()) << "every slot is free again";
}

// A time-out under contention still returns, and returns holding nothing.
TEST(LocksConcurrencyTest, TimeOutsUnderContentionGiveEverythingBack) {
  COneSlotSemaphore a, b;
  std::atomic<bool> stop{false};
  std::thread hog([&] {
    while (!stop.load()) {
      if (b.TryAcquireFor(std::chrono::milliseconds(1))) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        b.Release();
      }
    }
  });
  for (int i = 0; i < 200; ++i) {
    if (AcquireAll({&a, &b}, std::chrono::milliseconds(i % 3))) a.Release(), b.Release();
  }
  stop.store(true);
  hog.join();
  EXPECT_TRUE(a.TryAcquire() && b.TryAcquire());
}

}  // namespace
}  // namespace qm
