// How every layer reports to the user and to the log without knowing the front end: the
// application installs a reporter at start-up (the file log and the message boxes of the desktop
// or of the headless program); tests install one that records.
#pragma once

#include <string_view>

namespace qm {

class IReporter {
 public:
  virtual ~IReporter() = default;
  // Appends one line to the log; `message` starts with its three-letter source prefix.
  virtual void Log(std::string_view message) = 0;
  // Tells the user something that needs no answer (a modal message box on the desktop).
  virtual void ShowMessage(std::string_view message) = 0;
  // Shows a line of progress in the status bar (standard error for a command). Any thread.
  virtual void SetStatusText(std::string_view text) { (void)text; }
};

// Installs the process-wide reporter (nullptr: reports go nowhere). Not thread-safe against
// concurrent reports: install before any other thread starts and uninstall after they end.
void SetReporter(IReporter* reporter);
IReporter* CurrentReporter();

// Forward to the installed reporter, if any. Callable from any thread.
void Log(std::string_view message);
void ShowMessage(std::string_view message);
void SetStatusText(std::string_view text);

// For the outermost frame of a thread's work, inside a catch block: logs "APL : <work> ( <name> )
// ended by an exception ( <what> )." for the exception being handled (without the name part when
// it is empty). Never throws, also when memory has run out.
void LogUncaught(std::string_view work, std::string_view name = {}) noexcept;

}  // namespace qm
