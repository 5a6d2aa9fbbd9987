// Scripted DNS answers and a reporter that keeps the log lines, for the blocklist tests.
#pragma once

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/report.h"
#include "platform/resolver.h"

namespace qm {

class FakeDnsResolver : public IDnsResolver {
 public:
  // Names without an answer of their own get NXDOMAIN.
  void Answer(const std::string& name, DnsAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_[name] = std::move(answer);
  }
  void Listed(const std::string& name, std::array<std::uint8_t, 4> address = {127, 0, 0, 2}) {
    DnsAnswer answer;
    answer.status = DnsStatus::Found;
    answer.code = 0;
    answer.addresses = {address};
    Answer(name, answer);
  }
  void Failing(const std::string& name, int code) {
    DnsAnswer answer;
    answer.status = DnsStatus::Error;
    answer.code = code;
    answer.errorText = "scripted failure";
    Answer(name, answer);
  }

  DnsAnswer LookupA(std::string_view name, std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex_);
    queries_.emplace_back(name);
    lastTimeout_ = timeout;
    auto it = answers_.find(std::string(name));
    if (it != answers_.end()) return it->second;
    DnsAnswer answer;
    answer.status = DnsStatus::NotFound;
    answer.code = kDnsHostNotFound;
    answer.errorText = "Domain name not found";
    return answer;
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

class LogRecorder : public IReporter {
 public:
  void Log(std::string_view message) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
  }
  void ShowMessage(std::string_view) override {}
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace qm
