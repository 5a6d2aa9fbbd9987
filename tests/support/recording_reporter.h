// Keeps log lines and messages shown; reports may come from any thread: read once they have ended.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/report.h"

namespace qm::test {

class RecordingReporter : public IReporter {
 public:
  void Log(std::string_view message) override { Keep(logLines, message); }
  void ShowMessage(std::string_view message) override { Keep(messages, message); }
  void SetStatusText(std::string_view text) override { Keep(statusTexts, text); }
  std::mutex mutex;
  std::vector<std::string> logLines, messages, statusTexts;

 private:
  void Keep(std::vector<std::string>& list, std::string_view text) {
    std::lock_guard lock(mutex);
    list.emplace_back(text);
  }
};

}  // namespace qm::test
