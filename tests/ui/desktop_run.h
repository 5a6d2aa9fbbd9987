// A whole desktop on the working directory the test has made current: the program started as
// `qm_mailfilter` starts it, its windows built, every message box answered by its default and
// recorded, and an orderly end.
#pragma once

#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/settings.h"
#include "recorded_answers.h"
#include "ui/desktop_windows.h"
#include "ui/qt_ui.h"

namespace qm {

// No retrieval at start, no blocklist look-ups, and the local server on loopback at a port of the
// system's choosing: a test's desktop reaches nothing outside.
inline void KeepDesktopLocal(CSettings& settings) {
  settings.Set(settings::StartupRetrieve, 0);
  settings.Set(settings::Port, 0);
  settings.Set(settings::BindAddress, "127.0.0.1");
  for (const char* zone : {"Zone0", "Zone1", "Zone2", "Zone3"}) {
    settings.Profile().WriteString(settings::kBlocklistSection, zone, "");
  }
}

class CDesktopRun {
 public:
  explicit CDesktopRun(const QString& directory) : program(ui, directory.toStdString()) {
    answers.Install(ui);
    started = program.Startup() == CApplication::StartResult::Started;
    if (started) windows = std::make_unique<CDesktopWindows>(program, ui);
  }
  // Ends as the program ends: layout kept, windows closed, everything saved.
  void End() {
    if (windows) windows->SaveLayout();
    ui.Close();
    program.Shutdown();
    windows.reset();
  }

  bool Started() const { return started; }
  CApplication& Program() { return program; }
  CDesktopWindows& Windows() { return *windows; }
  // The texts of every message box and question so far.
  const std::vector<std::string>& Told() const { return answers.texts; }

 private:
  CQtUi ui;
  CRecordedAnswers answers;
  CApplication program;
  bool started = false;
  std::unique_ptr<CDesktopWindows> windows;
};

}  // namespace qm
