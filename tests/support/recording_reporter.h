// A reporter that keeps the log lines and the messages shown, for tests to check. Reports may
// come from several threads; read the lists once they have ended.
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
