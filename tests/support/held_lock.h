// Holds a store lock on a thread of its own, as a logged-in mail client holds its mailbox, from
// construction (which returns once it is held) to destruction.
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
