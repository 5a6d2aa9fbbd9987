#include <iostream>

#include "cli/command_line.h"
#ifdef QM_GUI
#include "ui/desktop.h"
#endif

int main(int argc, char** argv) {
#ifdef QM_GUI
  return qm::RunCommandLine(argc, argv, std::cout, std::cerr,
                            [argc, argv] { return qm::RunDesktop(argc, argv); });
#else
  return qm::RunCommandLine(argc, argv, std::cout, std::cerr);
#endif
}
