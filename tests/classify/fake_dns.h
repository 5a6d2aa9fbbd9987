// Scripted DNS answers, and the shared recording reporter with a way to take its log lines.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/resolver.h"
#include "support/recording_reporter.h"

namespace qm {

class FakeDnsResolver : public IDnsResolver {
 public:
  // Names without an answer of their own get NXDOMAIN.
  void Answer(const std::string& name, DnsAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_[name] = std::move(answer);
  }
  void Listed(const std::string& name) {
    Answer(name, {DnsStatus::Found, {{127, 0, 0, 2}}, 0, {}});
  }
  void Failing(const std::string& name, int code) {
    Answer(name, {DnsStatus::Error, {}, code, "scripted failure"});
  }
  DnsAnswer LookupA(std::string_view name, std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex_);
    queries_.emplace_back(name);
    lastTimeout_ = timeout;
    const auto it = answers_.find(std::string(name));
    if (it != answers_.end()) return it->second;
    return {DnsStatus::NotFound, {}, kDnsHostNotFound, "Domain name not found"};
  }
  std::vector<std::string> Queries() const {
    std::lock_guard lock(mutex_);
    return queries_;
  }
  std::chrono::milliseconds LastTimeout() const {
    std::lock_guard lock(mutex_);
    return lastTimeout_;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, DnsAnswer> answers_;
  std::vector<std::string> queries_;
  std::chrono::milliseconds lastTimeout_{0};
};

struct LogRecorder : test::RecordingReporter {
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(logLines, {});
  }
};

}  // namespace qm
