// The whole command line of qm_mailfilter, so that tests can run it in-process.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace qm {

// Runs `qm_mailfilter demo` with the directory named (empty: none) and whether --headless was
// given; the exit status.
using DemoRunner = std::function<int(const std::string& directory, bool headless)>;

// Parses the arguments, enters the working directory and runs the sub-command; the exit status.
// Without a sub-command and without --headless, `desktop` runs the program with its window; when
// it is empty (a build without one), the help is printed. `demo` runs the demo, which lives
// outside this library.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   const std::function<int()>& desktop = {}, const DemoRunner& demo = {});

}  // namespace qm
