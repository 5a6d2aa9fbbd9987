#include <iostream>

#include "cli/command_line.h"
#include "demo/demo.h"
#include "platform/privacy.h"
#ifdef QM_GUI
#include "ui/desktop.h"
#endif

int main(int argc, char** argv) {
  // Before any file is made or any password read.
  qm::KeepProcessPrivate();
#ifdef QM_GUI
  const std::function<int()> desktop = [argc, argv] { return qm::RunDesktop(argc, argv); };
#else
  const std::function<int()> desktop;
#endif
  return qm::RunCommandLine(
      argc, argv, std::cout, std::cerr, desktop,
      [&desktop](const std::string& directory, bool headless) {
        return qm::RunDemo({directory, headless}, std::cout, std::cerr, desktop);
      });
}
