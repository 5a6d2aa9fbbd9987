// Turns SIGTERM and SIGINT into an orderly shutdown: the signals are blocked in every thread and
// a watcher thread waits for them, so the handler runs as ordinary code, not in a signal context.
#pragma once

#include <functional>
#include <thread>

namespace qm {

class CTerminationSignal {
 public:
  CTerminationSignal() = default;
  ~CTerminationSignal();
  CTerminationSignal(const CTerminationSignal&) = delete;
  CTerminationSignal& operator=(const CTerminationSignal&) = delete;

  // Call before any other thread is started, so that they all inherit the blocked signals.
  // `onSignal` runs on the watcher thread, once per signal received.
  bool Start(std::function<void()> onSignal);

 private:
  std::thread watcher;
  int wakeFd = -1;
};

}  // namespace qm
