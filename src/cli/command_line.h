// The whole command line of qm_mailfilter, so that tests can run it in-process.
#pragma once

#include <iosfwd>

namespace qm {

// Parses the arguments, enters the working directory and runs the sub-command; the exit status.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace qm
