#include "ui/desktop.h"

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QSplashScreen>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "app/application.h"
#include "platform/report.h"
#include "platform/termination_signal.h"
#include "ui/artwork.h"
#include "ui/desktop_windows.h"
#include "ui/qt_ui.h"
#include "ui/screenshots.h"

namespace qm {

namespace {

constexpr const char* kGoingDownLine = "APL : ------  System is going down.  ------";

// Qt would abort with a message of its own that does not mention the headless mode.
bool DisplayAvailable() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// Closes itself after two seconds; the pointer lets the program delete it when it ends sooner.
QPointer<QSplashScreen> ShowSplash() {
  auto* splash = new QSplashScreen(SplashPicture(), Qt::WindowStaysOnTopHint);
  splash->setAttribute(Qt::WA_DeleteOnClose);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    splash->move(screen->availableGeometry().topLeft());
  }
  splash->show();
  QTimer::singleShot(2000, splash, &QWidget::close);
  return splash;
}

// The signal watcher outlives the QApplication, so it may only reach the application through
// this, which is emptied before the application goes.
struct QuitTarget {
  std::mutex mutex;
  QCoreApplication* application = nullptr;
};

}  // namespace

int RunDesktop(int argc, char** argv) {
  (void)argc;
  if (!DisplayAvailable()) {
    std::cerr << kNoDisplay << std::endl;
    return 1;
  }
  QuitTarget quitTarget;
  // Before the QApplication, whose threads must inherit the blocked signals.
  CTerminationSignal termination;
  termination.Start([&quitTarget] {
    std::lock_guard lock(quitTarget.mutex);
    if (quitTarget.application != nullptr) {
      // exit, not quit: quit first asks the windows to close, and the main window declines.
      QMetaObject::invokeMethod(
          quitTarget.application, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    }
  });

  // Only the program's name: the arguments were ours, and Qt must not take "--workdir" or a
  // directory name for one of its own options.
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication application(qtArgc, qtArgv);
  // The window hides to the notification area; only "終了" ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  {
    std::lock_guard lock(quitTarget.mutex);
    quitTarget.application = &application;
  }

  int status = 1;
  {
    CQtUi ui;
    std::error_code error;
    CApplication program(ui, std::filesystem::current_path(error).string());
    if (program.Startup() == CApplication::StartResult::Started) {
      QPointer<QSplashScreen> splash;
      if (program.Settings().Get(settings::ShowSplash) != 0) splash = ShowSplash();
      CDesktopWindows windows(program, ui);
      QObject::connect(&application, &QGuiApplication::commitDataRequest,
                       [] { Log(kGoingDownLine); });
      windows.Show();
      ScheduleScreenshots(windows.Frame(), windows.View(), program, ui);
      status = QApplication::exec() == 0 ? 0 : 1;
      delete splash;
      windows.SaveLayout();
      ui.Close();
      program.Shutdown();
    }
  }

  std::lock_guard lock(quitTarget.mutex);
  quitTarget.application = nullptr;
  return status;
}

}  // namespace qm
