// Another program run beside this one (a helper server), tied to this process's life.
#pragma once

#include <string>
#include <vector>

namespace qm {

// The path of `name` in PATH or, failing that, in one of `moreDirectories` (the system
// directories that an ordinary user's PATH leaves out); empty when it is in none.
std::string FindProgram(const std::string& name, const std::vector<std::string>& moreDirectories);

// The login name of the user this process runs as; empty when the system does not know it.
std::string CurrentUserName();

class CChildProcess {
 public:
  CChildProcess() = default;
  // Stops the child if it still runs.
  ~CChildProcess();
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Starts `arguments[0]` (a path) with the arguments, reading nothing and writing its output
  // to the file `outputPath` (created private, appended to). The child gets the default signal
  // dispositions and mask whatever this process blocks, a process group of its own (a Ctrl-C
  // meant for this program does not reach it; this program stops it), and is sent SIGTERM when
  // this process dies. False with `error` set when it could not be started.
  bool Start(const std::vector<std::string>& arguments, const std::string& outputPath,
             int* error = nullptr);
  // Whether the child has not ended yet; reaps it when it has.
  bool Running();
  // SIGTERM, then SIGKILL when it is still there after `graceMs`; waits for its end.
  void Stop(int graceMs = 3000);

 private:
  int pid = -1;
};

}  // namespace qm
