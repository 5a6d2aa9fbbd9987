// `qm_mailfilter` with a window: the Qt desktop front end.
#pragma once

namespace qm {

inline constexpr const char* kNoDisplay =
    "qm_mailfilter: no display; run qm_mailfilter --headless for the filter without a window";

// Starts the program in the current directory with its main window and runs it until the user
// ends it (or SIGTERM, SIGINT). The exit status: 0 after an orderly shutdown, 1 when there is no
// display or another copy runs in the directory.
int RunDesktop(int argc, char** argv);

}  // namespace qm
