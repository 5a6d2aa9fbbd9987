#include <iostream>

#include "cli/command_line.h"
#include "platform/privacy.h"
#ifdef QM_GUI
#include "ui/desktop.h"
#endif

int main(int argc, char** argv) {
  // Before any file is made or any password read.
  qm::KeepProcessPrivate();
#ifdef QM_GUI
  return qm::RunCommandLine(argc, argv, std::cout, std::cerr,
                            [argc, argv] { return qm::RunDesktop(argc, argv); });
#else
  return qm::RunCommandLine(argc, argv, std::cout, std::cerr);
#endif
}
