// The working directory of the commands that keep state: everything the program keeps lies
// there, and only one process at a time may work in it.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "app/log.h"
#include "platform/report.h"
#include "platform/single_instance.h"

namespace qm {

// Exit statuses of qm_mailfilter.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitLocked = 2;

// Where the program works when no directory is named: `qmWorkdir` ($QM_WORKDIR), else
// "qm_mailfilter" in `xdgDataHome` ($XDG_DATA_HOME, when absolute), else in
// `home`/.local/share. Null or empty values count as unset; empty when none is set.
std::string DefaultWorkingDirectory(const char* qmWorkdir, const char* xdgDataHome,
                                    const char* home);

// Makes `directory` the current directory, or with an empty `directory` the default one of the
// environment, which is created (private) on first use. Refuses, with a message on `err`, a
// directory that is missing or that other users own or can write to.
bool EnterWorkingDirectory(const std::string& directory, std::ostream& err);

// Held by a command for as long as it works in the current directory: the single-instance guard,
// and the reporter through which the store speaks, logging to the directory's log and showing
// messages on `err` (a command line has no message boxes).
class CWorkdirSession : public IReporter {
 public:
  explicit CWorkdirSession(std::ostream& errorStream);
  // Flushes the log and takes the reporter out again.
  ~CWorkdirSession() override;
  CWorkdirSession(const CWorkdirSession&) = delete;
  CWorkdirSession& operator=(const CWorkdirSession&) = delete;

  // kExitOk; or kExitLocked when another process works in the directory, kExitFailure when
  // the guard cannot be taken at all, each with a message on `err`.
  int Open();
  const std::filesystem::path& Directory() const { return directory; }

  void Log(std::string_view message) override;
  void ShowMessage(std::string_view message) override;
  // Status texts go to `err`, one per line, once progress is wanted.
  void SetStatusText(std::string_view text) override;
  void ShowProgress(bool on) { progress = on; }

 private:
  std::ostream& err;
  std::filesystem::path directory;
  CSingleInstance guard;
  std::unique_ptr<CLog> log;
  IReporter* previousReporter = nullptr;
  bool installed = false;
  bool progress = false;
};

}  // namespace qm
