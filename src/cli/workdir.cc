#include "cli/workdir.h"

#include <ostream>
#include <system_error>

namespace qm {

namespace {

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace

bool EnterWorkingDirectory(const std::string& directory, std::ostream& err) {
  std::error_code error;
  std::filesystem::current_path(directory, error);
  if (error) {
    err << "qm_mailfilter: cannot work in " << directory << ": " << error.message() << '\n';
    return false;
  }
  return true;
}

CWorkdirSession::CWorkdirSession(std::ostream& errorStream) : err(errorStream) {}

CWorkdirSession::~CWorkdirSession() {
  if (!installed) return;
  if (!log->FlushLog()) {
    err << "qm_mailfilter: cannot write the log in " << directory.string() << '\n';
  }
  SetReporter(previousReporter);
}

int CWorkdirSession::Open() {
  std::error_code error;
  directory = std::filesystem::current_path(error);
  if (error) {
    err << "qm_mailfilter: cannot tell the working directory: " << error.message() << '\n';
    return kExitFailure;
  }
  if (!guard.Acquire(directory.string())) {
    if (guard.LastError() == static_cast<int>(std::errc::operation_would_block)) {
      err << "qm_mailfilter: another instance is running in " << directory.string()
          << "; stop it first\n";
      return kExitLocked;
    }
    err << "qm_mailfilter: cannot lock " << directory.string() << ": "
        << ErrorText(guard.LastError()) << '\n';
    return kExitFailure;
  }
  log = std::make_unique<CLog>(directory);
  previousReporter = CurrentReporter();
  SetReporter(this);
  installed = true;
  return kExitOk;
}

void CWorkdirSession::Log(std::string_view message) { log->Log(message); }

void CWorkdirSession::ShowMessage(std::string_view message) {
  err << "qm_mailfilter: " << message << '\n';
  // One log line per message, whatever line breaks the message box text has.
  std::string line = "APL : " + std::string(message);
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  log->Log(line);
}

void CWorkdirSession::SetStatusText(std::string_view text) {
  if (progress) err << text << '\n';
}

}  // namespace qm
