#include "cli/workdir.h"

#include <cerrno>
#include <cstdlib>
#include <ostream>
#include <system_error>

#include "platform/privacy.h"

namespace qm {

namespace {

std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace

std::string DefaultWorkingDirectory(const char* qmWorkdir, const char* xdgDataHome,
                                    const char* home) {
  auto set = [](const char* value) { return value != nullptr && *value != '\0'; };
  if (set(qmWorkdir)) return qmWorkdir;
  // A relative data directory is invalid by the XDG rules and must be ignored.
  if (set(xdgDataHome) && *xdgDataHome == '/') return std::string(xdgDataHome) + "/qm_mailfilter";
  if (set(home)) return std::string(home) + "/.local/share/qm_mailfilter";
  return {};
}

bool EnterWorkingDirectory(const std::string& named, std::ostream& err) {
  std::string directory = named;
  if (directory.empty()) {
    directory = DefaultWorkingDirectory(std::getenv("QM_WORKDIR"), std::getenv("XDG_DATA_HOME"),
                                        std::getenv("HOME"));
    if (directory.empty()) {
      err << "qm_mailfilter: no working directory: HOME is not set; name one with --workdir DIR "
             "or QM_WORKDIR\n";
      return false;
    }
    int error = 0;
    if (CheckDirectoryTrust(directory) == DirectoryTrust::Missing &&
        !CreatePrivateDirectories(directory, &error)) {
      err << "qm_mailfilter: cannot create " << directory << ": " << ErrorText(error) << '\n';
      return false;
    }
  }
  int error = 0;
  switch (CheckDirectoryTrust(directory, &error)) {
    case DirectoryTrust::Private:
      break;
    case DirectoryTrust::OtherOwner:
      err << "qm_mailfilter: " << directory
          << " belongs to another user; work in a directory of your own (--workdir DIR)\n";
      return false;
    case DirectoryTrust::WritableByOthers:
      err << "qm_mailfilter: other users can write to " << directory
          << "; make it private (chmod 700) or work in another directory (--workdir DIR)\n";
      return false;
    case DirectoryTrust::NotADirectory:
      error = ENOTDIR;
      [[fallthrough]];
    case DirectoryTrust::Missing:
    case DirectoryTrust::Unreadable:
      err << "qm_mailfilter: cannot work in " << directory << ": " << ErrorText(error) << '\n';
      return false;
  }
  std::error_code changed;
  std::filesystem::current_path(directory, changed);
  if (changed) {
    err << "qm_mailfilter: cannot work in " << directory << ": " << changed.message() << '\n';
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
