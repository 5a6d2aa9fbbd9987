#include "platform/report.h"

#include <atomic>

namespace qm {

namespace {
std::atomic<IReporter*> installed{nullptr};
}  // namespace

void SetReporter(IReporter* reporter) { installed.store(reporter); }

IReporter* CurrentReporter() { return installed.load(); }

void Log(std::string_view message) {
  if (IReporter* reporter = installed.load()) reporter->Log(message);
}

void ShowMessage(std::string_view message) {
  if (IReporter* reporter = installed.load()) reporter->ShowMessage(message);
}

void SetStatusText(std::string_view text) {
  if (IReporter* reporter = installed.load()) reporter->SetStatusText(text);
}

}  // namespace qm
