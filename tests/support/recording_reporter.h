// A reporter that keeps the log lines and the messages shown, for tests to check.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/report.h"

namespace qm::test {

class RecordingReporter : public IReporter {
 public:
  // Reports may come from several threads; read the lists once they have ended.
  void Log(std::string_view message) override {
    std::lock_guard lock(mutex);
    logLines.emplace_back(message);
  }
  void ShowMessage(std::string_view message) override {
    std::lock_guard lock(mutex);
    messages.emplace_back(message);
  }
  void SetStatusText(std::string_view text) override {
    std::lock_guard lock(mutex);
    statusTexts.emplace_back(text);
  }
  std::mutex mutex;
  std::vector<std::string> logLines;
  std::vector<std::string> messages;
  std::vector<std::string> statusTexts;
};

}  // namespace qm::test
