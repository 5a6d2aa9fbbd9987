// Threads that help a classifying thread ask a message's look-ups at once. Look-ups block the
// thread that asks, so asking several at once takes several threads; keeping them between
// messages saves starting threads for every message.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qm {

class LookupPool {
 public:
  // How long the calling thread runs its calls alone before helpers join. The caches answer in
  // microseconds, so a message whose answers they hold is through before then and wakes no
  // helper; a DNS answer takes a millisecond or more.
  static constexpr std::chrono::microseconds kHeadStart{500};

  // Up to `helpers` threads, started when first needed.
  explicit LookupPool(std::size_t helpers);
  // No Run may be in progress.
  ~LookupPool();
  LookupPool(const LookupPool&) = delete;
  LookupPool& operator=(const LookupPool&) = delete;

  // Calls task(0), task(1), ... task(count - 1), each at most once and started in that order, on
  // the calling thread and, after the head start, the pool's threads at once, until every call
  // has started or one has returned false (then no further call starts). Returns once every call
  // that started has returned, and throws what a call threw. Several threads may run at once;
  // the pool's threads take turns among them.
  void Run(std::size_t count, const std::function<bool(std::size_t)>& task);

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    const std::function<bool(std::size_t)>* task = nullptr;
    std::size_t count = 0;
    std::size_t next = 0;
    std::size_t running = 0;
    bool closed = false;
    Clock::time_point helpFrom;
    // The first exception a call threw; no further call starts, and Run throws it.
    std::exception_ptr failure;
  };

  // Under mutex_: takes the next index of `job`, which has one left, and puts the job at the end
  // of the queue, so that messages classified at the same time share the helpers.
  std::size_t TakeIndex(Job& job);
  // Runs one call without the lock and counts it done.
  void RunOne(std::unique_lock<std::mutex>& lock, Job& job, std::size_t index);
  void Withdraw(Job& job);
  void Help();

  const std::size_t helpers_;
  std::mutex mutex_;
  std::condition_variable work_;  // a job was queued, or the pool is ending
  std::condition_variable idle_;  // a call of some job returned
  // Jobs with calls not yet started, under mutex_.
  std::deque<Job*> jobs_;
  std::vector<std::thread> threads_;
  bool ending_ = false;
};

}  // namespace qm
