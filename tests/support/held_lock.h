// Holds a lock on its own thread, as a logged-in client does: held once built, until destroyed.
#pragma once

#include <future>
#include <thread>

#include "platform/locks.h"

namespace qm::test {

class HeldLock {
 public:
  explicit HeldLock(CReentrantLock& lock)
      : holder([&lock, signal = &held, released = release.get_future()]() mutable {
          lock.Lock();
          signal->set_value();
          released.wait();
          lock.Unlock();
        }) {
    held.get_future().wait();
  }
  ~HeldLock() {
    release.set_value();
    holder.join();
  }

 private:
  std::promise<void> held;
  std::promise<void> release;
  std::thread holder;
};

}  // namespace qm::test
