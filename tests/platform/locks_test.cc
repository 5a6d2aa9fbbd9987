#include "platform/locks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace qm {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Runs `f` on another thread and returns its result.
template <typename F>
auto OnOtherThread(F f) {
  return std::async(std::launch::async, f).get();
}

TEST(ReentrantLockTest, TheOwnerReentersAndOthersWaitUntilTheLastUnlock) {
  CReentrantLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());
  {
    CReentrantGuard guard(lock);
    EXPECT_TRUE(lock.TryLockFor(std::chrono::milliseconds(0)));
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
    EXPECT_FALSE(OnOtherThread([&] { return lock.TryLockFor(std::chrono::milliseconds(20)); }));
  }
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(lock.Unlock());
  EXPECT_TRUE(OnOtherThread([&] { return lock.TryLock() && lock.Unlock(); }));
  EXPECT_TRUE(OnOtherThread(
      [&] { return lock.TryLockFor(std::chrono::milliseconds(0)) && lock.Unlock(); }));
}

TEST(ReentrantLockTest, AStrayUnlockDoesNotOpenTheSection) {
  CReentrantLock lock;
  lock.Lock();
  EXPECT_FALSE(OnOtherThread([&] { return lock.Unlock(); }));
  EXPECT_FALSE(OnOtherThread([&] { return lock.TryLock(); }));
  EXPECT_TRUE(lock.Unlock());
}

TEST(ReentrantLockTest, AWaiterGetsInWhenTheOwnerLeaves) {
  CReentrantLock lock;
  lock.Lock();
  auto waiter = std::async(std::launch::async, [&] {
    lock.Lock();
    return lock.Unlock();
  });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  lock.Unlock();
  EXPECT_TRUE(waiter.get());
}

TEST(OneSlotSemaphoreTest, HoldsOneSlotThatAnyThreadMayRelease) {
  COneSlotSemaphore semaphore;
  EXPECT_FALSE(semaphore.Release()) << "it starts free, and a free slot cannot be released";
  EXPECT_TRUE(semaphore.TryAcquireFor(milliseconds(0)));
  EXPECT_FALSE(semaphore.TryAcquire());
  EXPECT_FALSE(semaphore.TryAcquireFor(milliseconds(30)));
  EXPECT_TRUE(OnOtherThread([&] { return semaphore.Release(); }));
  EXPECT_FALSE(semaphore.Release());
  semaphore.Acquire();
  EXPECT_FALSE(semaphore.TryAcquireFor(milliseconds(-5)));
  EXPECT_TRUE(semaphore.Release());
}

TEST(OneSlotSemaphoreTest, AReleaseWakesAWaiter) {
  COneSlotSemaphore semaphore;
  semaphore.Acquire();
  auto waiter =
      std::async(std::launch::async, [&] { return semaphore.TryAcquireFor(seconds(60)); });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  EXPECT_TRUE(semaphore.Release());
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(semaphore.TryAcquire());
}

// After AcquireAll the caller holds all of the set or none of it.
void ExpectFree(COneSlotSemaphore& semaphore) {
  EXPECT_TRUE(semaphore.TryAcquire());
  semaphore.Release();
}

TEST(AcquireAllTest, TakesAllOrNothing) {
  COneSlotSemaphore a, b, c;
  EXPECT_TRUE(AcquireAll({}, milliseconds(0)));
  ASSERT_TRUE(AcquireAll({&a, &b, &c}, milliseconds(0)));
  EXPECT_FALSE(a.TryAcquire());
  EXPECT_FALSE(b.TryAcquire());
  EXPECT_FALSE(c.TryAcquire());
  a.Release();
  c.Release();

  // b is still held: the call must time out and give back a and c.
  EXPECT_FALSE(AcquireAll({&a, &b, &c}, milliseconds(30)));
  ExpectFree(a);
  ExpectFree(c);
  b.Release();
}

TEST(AcquireAllTest, ImpossibleSetsFailAtOnce) {
  COneSlotSemaphore a, b;
  EXPECT_FALSE(AcquireAll({&a, &b, &a}, std::chrono::hours(1)));
  EXPECT_FALSE(AcquireAll({&a, nullptr}, std::chrono::hours(1)));
  ExpectFree(a);
  ExpectFree(b);
}

TEST(AcquireAllTest, WaitsForTheLastOneToBeReleased) {
  COneSlotSemaphore a, b, c;
  b.Acquire();
  c.Acquire();
  auto waiter = std::async(std::launch::async, [&] {
    return AcquireAll({&a, &b, &c}, seconds(60));
  });
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  // While it waits it holds nothing for long: a stays available to others.
  ASSERT_TRUE(a.TryAcquireFor(seconds(60)));
  a.Release();
  c.Release();
  EXPECT_EQ(waiter.wait_for(milliseconds(20)), std::future_status::timeout);
  b.Release();
  ASSERT_TRUE(waiter.get());
  EXPECT_FALSE(a.TryAcquire());
  EXPECT_FALSE(b.TryAcquire());
  EXPECT_FALSE(c.TryAcquire());
}

TEST(AcquireAllTest, AnEndlessTimeOutDoesNotOverflow) {
  COneSlotSemaphore a;
  EXPECT_TRUE(AcquireAll({&a}, milliseconds::max()));
  EXPECT_TRUE(OnOtherThread([&] { return a.Release(); }));
  EXPECT_TRUE(a.TryAcquireFor(milliseconds::max()));
}

}  // namespace
}  // namespace qm
