#include "platform/locks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace qm {
namespace {

using std::chrono::milliseconds;

template <typename F>
auto OnOtherThread(F f) {
  return std::async(std::launch::async, f).get();
}

// The owner reenters; others wait until its last unlock, and a stray unlock opens nothing.
TEST(ReentrantLockTest, TheOwnerReentersAndOthersWaitUntilTheLastUnlock) {
  CReentrantLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock() && lock.TryLockFor(milliseconds(0)));
  EXPECT_TRUE(lock.Unlock() && lock.Unlock());
  EXPECT_FALSE(OnOtherThread([&] { return lock.Unlock() || lock.TryLockFor(milliseconds(20)); }));
  auto waiter = std::async(std::launch::async, [&] {
    return lock.TryLockFor(std::chrono::seconds(60)) && lock.Unlock();
  });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(lock.Unlock());
  EXPECT_TRUE(waiter.get());
}

// One slot that any thread may release; a huge time-out waits instead of overflowing.
TEST(OneSlotSemaphoreTest, HoldsOneSlotThatAnyThreadMayRelease) {
  COneSlotSemaphore semaphore;
  EXPECT_FALSE(semaphore.Release()) << "it starts free, and a free slot cannot be released";
  EXPECT_TRUE(semaphore.TryAcquireFor(milliseconds(0)));
  EXPECT_FALSE(semaphore.TryAcquire() || semaphore.TryAcquireFor(milliseconds(30)) ||
               semaphore.TryAcquireFor(milliseconds(-5)));
  auto waiter =
      std::async(std::launch::async, [&] { return semaphore.TryAcquireFor(milliseconds::max()); });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  EXPECT_TRUE(OnOtherThread([&] { return semaphore.Release(); }));
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(semaphore.TryAcquire());
}

// AcquireAll takes all of a set or none of it; while it waits it holds nothing for long.
TEST(AcquireAllTest, TakesAllOrNothing) {
  COneSlotSemaphore a, b, c;
  EXPECT_TRUE(AcquireAll({}, milliseconds(0)));
  EXPECT_FALSE(AcquireAll({&a, &b, &a}, std::chrono::hours(1)));
  EXPECT_FALSE(AcquireAll({&a, nullptr}, std::chrono::hours(1)));
  b.Acquire();
  c.Acquire();
  EXPECT_FALSE(AcquireAll({&a, &b, &c}, milliseconds(30)));
  auto waiter = std::async(std::launch::async, [&] {
    return AcquireAll({&a, &b, &c}, milliseconds::max());
  });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  ASSERT_TRUE(a.TryAcquireFor(std::chrono::seconds(60)));
  a.Release();
  c.Release();
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  b.Release();
  ASSERT_TRUE(waiter.get());
  EXPECT_FALSE(a.TryAcquire() || b.TryAcquire() || c.TryAcquire());
}

}  // namespace
}  // namespace qm
