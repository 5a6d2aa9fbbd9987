#include "platform/report.h"

#include <atomic>
#include <exception>
#include <string>

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

void LogUncaught(std::string_view work, std::string_view name) noexcept {
  const char* what = "unknown exception";
  try {
    throw;
  } catch (const std::exception& exception) {
    what = exception.what();
  } catch (...) {
  }
  try {
    std::string line = "APL : ";
    line += work;
    if (!name.empty()) line.append(" ( ").append(name).append(" )");
    line.append(" ended by an exception ( ").append(what).append(" ).");
    Log(line);
  } catch (...) {
    // Out of memory even for one line: the work has ended all the same.
  }
}

}  // namespace qm
