#include "classify/lookup_pool.h"

#include <algorithm>
#include <system_error>

namespace qm {

LookupPool::LookupPool(std::size_t helpers) : helpers_(helpers) {}

LookupPool::~LookupPool() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  work_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void LookupPool::Run(std::size_t count, const std::function<bool(std::size_t)>& task) {
  if (count == 0) return;
  Job job;
  job.task = &task;
  job.count = count;
  job.helpFrom = Clock::now() + kHeadStart;
  std::unique_lock lock(mutex_);
  std::size_t wanted = std::min(helpers_, count - 1);
  while (threads_.size() < wanted) {
    try {
      threads_.emplace_back([this] { Help(); });
    } catch (const std::system_error&) {
      // No thread to be had: the calls still run, fewer at once.
      wanted = threads_.size();
    }
  }
  if (wanted > 0) {
    jobs_.push_back(&job);
    // One helper; each helper that takes a call wakes the next while calls are left.
    work_.notify_one();
  }
  while (!job.closed && job.next < job.count) RunOne(lock, job, TakeIndex(job));
  Withdraw(job);
  // The job lives on this thread's stack: the helpers let go of it before it ends.
  idle_.wait(lock, [&] { return job.running == 0; });
  if (job.failure) std::rethrow_exception(job.failure);
}

std::size_t LookupPool::TakeIndex(Job& job) {
  const std::size_t index = job.next++;
  Withdraw(job);
  if (!job.closed && job.next < job.count) jobs_.push_back(&job);
  ++job.running;
  return index;
}

void LookupPool::RunOne(std::unique_lock<std::mutex>& lock, Job& job, std::size_t index) {
  lock.unlock();
  bool more = false;
  std::exception_ptr failure;
  try {
    more = (*job.task)(index);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  if (failure && !job.failure) job.failure = failure;
  if (!more) {
    job.closed = true;
    Withdraw(job);
  }
  if (--job.running == 0) idle_.notify_all();
}

void LookupPool::Withdraw(Job& job) {
  const auto it = std::find(jobs_.begin(), jobs_.end(), &job);
  if (it != jobs_.end()) jobs_.erase(it);
}

void LookupPool::Help() {
  std::unique_lock lock(mutex_);
  while (!ending_) {
    if (jobs_.empty()) {
      work_.wait(lock);
      continue;
    }
    // The first job whose head start is over; else wait for the earliest to end, or news.
    const auto now = Clock::now();
    const auto ready = std::find_if(jobs_.begin(), jobs_.end(),
                                    [&](const Job* job) { return job->helpFrom <= now; });
    if (ready == jobs_.end()) {
      const auto earliest =
          std::min_element(jobs_.begin(), jobs_.end(),
                           [](const Job* a, const Job* b) { return a->helpFrom < b->helpFrom; });
      // A copy: the job may end while this thread waits.
      const Clock::time_point until = (*earliest)->helpFrom;
      work_.wait_until(lock, until);
      continue;
    }
    Job& job = **ready;
    const std::size_t index = TakeIndex(job);
    if (!jobs_.empty()) work_.notify_one();
    RunOne(lock, job, index);
  }
}

}  // namespace qm
