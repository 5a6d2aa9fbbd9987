// The synchronisation objects the core shares between its threads: a critical section that the
// owning thread may enter again, and one-slot semaphores that several can be waited for together.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {

// A critical section: the thread that holds it may lock it again and must unlock it as often.
class CReentrantLock {
 public:
  CReentrantLock() = default;
  CReentrantLock(const CReentrantLock&) = delete;
  CReentrantLock& operator=(const CReentrantLock&) = delete;

  void Lock();
  bool TryLock();
  // Waits at most `timeout` for the lock; false, and nothing held, when the time ran out.
  bool TryLockFor(std::chrono::milliseconds timeout);
  // False, and nothing changes, when the calling thread does not hold the lock: a stray unlock
  // must not open the section for another thread while its owner is still inside.
  bool Unlock();

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  std::thread::id owner_;
  int depth_ = 0;
};

// Holds a CReentrantLock for the lifetime of a scope.
class CReentrantGuard {
 public:
  explicit CReentrantGuard(CReentrantLock& lock) : lock_(lock) { lock_.Lock(); }
  ~CReentrantGuard() { lock_.Unlock(); }
  CReentrantGuard(const CReentrantGuard&) = delete;
  CReentrantGuard& operator=(const CReentrantGuard&) = delete;

 private:
  CReentrantLock& lock_;
};

// A semaphore with one slot, free at the start. It has no owner: any thread may release it.
class COneSlotSemaphore {
 public:
  COneSlotSemaphore() = default;
  COneSlotSemaphore(const COneSlotSemaphore&) = delete;
  COneSlotSemaphore& operator=(const COneSlotSemaphore&) = delete;

  // Takes the slot if it is free, without waiting.
  bool TryAcquire();
  // Takes the slot, waiting at most `timeout` for it; false when the time ran out.
  bool TryAcquireFor(std::chrono::milliseconds timeout);
  bool TryAcquireUntil(std::chrono::steady_clock::time_point deadline);
  void Acquire();
  // Frees the slot; false (and no change) when it is free already.
  bool Release();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool free_ = true;
};

// Holds a semaphore's slot for a scope, waiting for it as long as it takes.
class COneSlotGuard {
 public:
  explicit COneSlotGuard(COneSlotSemaphore& semaphore) : held(semaphore) { held.Acquire(); }
  ~COneSlotGuard() { held.Release(); }
  COneSlotGuard(const COneSlotGuard&) = delete;
  COneSlotGuard& operator=(const COneSlotGuard&) = delete;

 private:
  COneSlotSemaphore& held;
};

// Waits until the caller holds every one of `semaphores`, or until `timeout` has passed, and
// then holds none of them. While waiting it never sits on one slot and blocks on another, so
// two callers wanting overlapping sets cannot deadlock. An empty set is held at once; a set
// that names a semaphore twice or contains nullptr can never be held and fails at once.
bool AcquireAll(const std::vector<COneSlotSemaphore*>& semaphores,
                std::chrono::milliseconds timeout);

}  // namespace qm
