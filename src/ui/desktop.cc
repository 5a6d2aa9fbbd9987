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
#include "app/classification.h"
#include "mailboxes/mailbox_set.h"
#include "platform/report.h"
#include "platform/termination_signal.h"
#include "ui/artwork.h"
#include "ui/main_frame.h"
#include "ui/notify_wnd.h"
#include "ui/orbalt_view.h"
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

// The program's messages reach the application first; the list then does its part of them, which
// the shared core cannot, having no window.
class CDesktopClient : public IUserInterfaceClient {
 public:
  CDesktopClient(IUserInterfaceClient& core, COrbaltView& list, CNotifier& newMail)
      : program(core), view(list), notifier(newMail) {}
  void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override {
    program.OnMessage(message, wParam, lParam);
    if (message == kMaildropCommitted) {
      view.OnMaildropCommitted(wParam != 0, static_cast<int>(lParam));
    } else if (message == kRetrievalEnded) {
      notifier.OnRetrievalEnded(static_cast<int>(wParam), static_cast<int>(lParam));
    }
  }
  void OnTimer(std::uint32_t id) override { program.OnTimer(id); }
  void IdleStep() override { program.IdleStep(); }

 private:
  IUserInterfaceClient& program;
  COrbaltView& view;
  CNotifier& notifier;
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
      CMainFrame frame(program.Settings());
      auto* view = new COrbaltView(program.Mailboxes(), program.Classification().Lists(),
                                   program.Settings(), ui);
      view->LoadLayout();
      if (program.Mailboxes().Count() > 0) view->List().SelectMailbox(0);
      view->RowsChanged();
      view->SetSelection({});
      frame.AttachView(*view);
      frame.SetUi(ui);
      CQtSoundPlayer sound;
      CNotifier notifier(frame, sound);
      CDesktopClient client(program, *view, notifier);
      QObject::connect(&ui, &CQtUi::StatusTextChanged, &frame, &CMainFrame::SetStatusText);
      QObject::connect(&application, &QGuiApplication::commitDataRequest,
                       [] { Log(kGoingDownLine); });
      ui.SetClient(&client);
      frame.ShowAtStart(program.Settings().Get(settings::MainState));
      ScheduleScreenshots(frame, *view);
      status = QApplication::exec() == 0 ? 0 : 1;
      delete splash;
      frame.SavePlacement();
      view->SaveLayout();
      ui.Close();
      program.Shutdown();
    }
  }

  std::lock_guard lock(quitTarget.mutex);
  quitTarget.application = nullptr;
  return status;
}

}  // namespace qm
