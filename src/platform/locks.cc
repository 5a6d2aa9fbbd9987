#include "platform/locks.h"

#include <cstddef>

namespace qm {

namespace {

// Callers pass "wait for ever" as a huge time-out; adding it to now must not overflow the clock.
std::chrono::steady_clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
  const auto now = std::chrono::steady_clock::now();
  if (timeout <= std::chrono::milliseconds::zero()) return now;
  constexpr auto kLongest = std::chrono::hours(24 * 365 * 100);
  if (timeout > kLongest) return now + kLongest;
  return now + timeout;
}

}  // namespace

void CReentrantLock::Lock() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (depth_ > 0 && owner_ == self) {
    ++depth_;
    return;
  }
  released_.wait(lock, [this] { return depth_ == 0; });
  owner_ = self;
  depth_ = 1;
}

bool CReentrantLock::TryLock() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  if (depth_ > 0 && owner_ != self) return false;
  owner_ = self;
  ++depth_;
  return true;
}

bool CReentrantLock::TryLockFor(std::chrono::milliseconds timeout) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (depth_ == 0 || owner_ != self) {
    if (!released_.wait_for(lock, timeout, [this] { return depth_ == 0; })) return false;
  }
  owner_ = self;
  ++depth_;
  return true;
}

bool CReentrantLock::Unlock() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--depth_ > 0) return true;
    owner_ = std::thread::id();
  }
  released_.notify_one();
  return true;
}

bool COneSlotSemaphore::TryAcquire() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!free_) return false;
  free_ = false;
  return true;
}

bool COneSlotSemaphore::TryAcquireFor(std::chrono::milliseconds timeout) {
  return TryAcquireUntil(DeadlineAfter(timeout));
}

bool COneSlotSemaphore::TryAcquireUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!freed_.wait_until(lock, deadline, [this] { return free_; })) return false;
  free_ = false;
  return true;
}

void COneSlotSemaphore::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  freed_.wait(lock, [this] { return free_; });
  free_ = false;
}

bool COneSlotSemaphore::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (free_) return false;
    free_ = true;
  }
  freed_.notify_one();
  return true;
}

bool AcquireAll(const std::vector<COneSlotSemaphore*>& semaphores,
                std::chrono::milliseconds timeout) {
  const std::size_t count = semaphores.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (semaphores[i] == nullptr) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (semaphores[j] == semaphores[i]) return false;
    }
  }
  if (count == 0) return true;

  const auto deadline = DeadlineAfter(timeout);
  // Block only on the one that was busy last time, holding nothing else meanwhile; then take
  // the others without waiting, and start over from the first busy one if any is taken.
  std::size_t waitFor = 0;
  for (;;) {
    if (!semaphores[waitFor]->TryAcquireUntil(deadline)) return false;
    std::size_t busy = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (i != waitFor && !semaphores[i]->TryAcquire()) {
        busy = i;
        break;
      }
    }
    if (busy == count) return true;
    for (std::size_t i = 0; i < busy; ++i) {
      if (i != waitFor) semaphores[i]->Release();
    }
    semaphores[waitFor]->Release();
    waitFor = busy;
  }
}

}  // namespace qm
