// The whole command line of qm_mailfilter, so that tests can run it in-process.
#pragma once

#include <functional>
#include <iosfwd>

namespace qm {

// Parses the arguments, enters the working directory and runs the sub-command; the exit status.
// Without a sub-command and without --headless, `desktop` runs the program with its window; when
// it is empty (a build without one), the help is printed.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   const std::function<int()>& desktop = {});

}  // namespace qm
