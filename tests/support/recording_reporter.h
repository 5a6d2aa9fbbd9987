// A reporter that keeps the log lines and the messages shown, for tests to check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/report.h"

namespace qm::test {

class RecordingReporter : public IReporter {
 public:
  void Log(std::string_view message) override { logLines.emplace_back(message); }
  void ShowMessage(std::string_view message) override { messages.emplace_back(message); }
  std::vector<std::string> logLines;
  std::vector<std::string> messages;
};

}  // namespace qm::test
