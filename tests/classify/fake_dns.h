// Scripted DNS and blocklist answers, and a reporter whose lines can be taken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "classify/blocklist.h"
#include "support/recording_reporter.h"

namespace qm {

// Answers are set while no look-up runs.
struct FakeDnsResolver : IDnsResolver {
  void Listed(const std::string& n) { answers[n] = {DnsStatus::Found, {{127, 0, 0, 2}}, 0, {}}; }
  DnsAnswer LookupA(std::string_view name, std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex);
    queries.emplace_back(name);
    lastTimeout = timeout;
    const auto it = answers.find(std::string(name));
    return it != answers.end() ? it->second
                               : DnsAnswer{DnsStatus::NotFound, {}, kDnsHostNotFound, "not found"};
  }
  std::mutex mutex;
  std::map<std::string, DnsAnswer> answers;
  std::vector<std::string> queries;
  std::chrono::milliseconds lastTimeout{0};
};

// Answers "zone:key" from `answers` (else `otherwise`), in `asked` order; each takes `delay` on
// Now()'s clock and waits while `held`.
struct FakeZones : IZoneLookup {
  int Lookup(std::string_view key, int zone) override {
    std::unique_lock lock(mutex);
    asked.push_back(std::to_string(zone) + ":" + std::string(key));
    now += delay;
    changed.notify_all();
    changed.wait(lock, [this] { return !held; });
    return answers.contains(asked.back()) ? answers[asked.back()] : otherwise;
  }
  std::chrono::milliseconds LookupTimeout() const override { return std::chrono::seconds(5); }
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard lock(mutex);
    return now;
  }
  std::mutex mutex;
  std::map<std::string, int> answers;
  std::vector<std::string> asked;
  std::condition_variable changed;
  bool held = false;
  int otherwise = 0;
  std::chrono::steady_clock::time_point now;
  std::chrono::milliseconds delay{0};
};

// Reports to itself while it lives.
struct LogRecorder : test::RecordingReporter {
  LogRecorder() { SetReporter(this); }
  ~LogRecorder() { SetReporter(nullptr); }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(logLines, {});
  }
};

}  // namespace qm
