#include "ui/desktop_windows.h"

#include <QObject>
#include <QTimer>

#include "app/application.h"
#include "app/classification.h"
#include "mailboxes/mailbox_set.h"
#include "ui/main_frame.h"
#include "ui/notify_wnd.h"
#include "ui/orbalt_view.h"
#include "ui/qt_ui.h"
#include "ui/settings_commands.h"

namespace qm {

// The program's messages reach the application first; the list then does its part of them, which
// the shared core cannot, having no window.
class CDesktopWindows::CClient : public IUserInterfaceClient {
 public:
  CClient(CApplication& core, COrbaltView& list, CNotifier& newMail)
      : program(core), view(list), notifier(newMail) {}
  void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override {
    program.OnMessage(message, wParam, lParam);
    if (message == kMaildropCommitted) {
      view.OnMaildropCommitted(wParam != 0, static_cast<int>(lParam));
    } else if (message == kRetrievalEnded) {
      notifier.OnRetrievalEnded(static_cast<int>(wParam), static_cast<int>(lParam));
    } else if (message == kMailClientLoggedIn) {
      view.EndNewMailIndication();
    }
  }
  void OnTimer(std::uint32_t id) override { program.OnTimer(id); }
  void IdleStep() override {
    program.IdleStep();
    const std::vector<int> changed = program.TakeChangedMailboxes();
    if (!changed.empty()) view.OnMailboxesChanged(changed);
  }

 private:
  CApplication& program;
  COrbaltView& view;
  CNotifier& notifier;
};

CDesktopWindows::CDesktopWindows(CApplication& core, CQtUi& ui)
    : program(core), frame(std::make_unique<CMainFrame>(core.Settings())) {
  view = new COrbaltView(program.Mailboxes(), program.Classification().Lists(), program.Settings(),
                         ui);
  view->LoadLayout();
  if (program.Mailboxes().Count() > 0) view->List().SelectMailbox(0);
  view->RowsChanged();
  view->SetSelection({});
  frame->AttachView(*view);
  frame->SetUi(ui);
  sound = std::make_unique<CQtSoundPlayer>();
  notifier = std::make_unique<CNotifier>(*frame, *sound);
  client = std::make_unique<CClient>(program, *view, *notifier);
  settingsCommands = std::make_unique<CSettingsCommands>(program, *frame, ui, *sound);
  QObject::connect(view, &COrbaltView::DialogRequested, frame.get(),
                   [this](int command) { settingsCommands->Run(command); });
  QObject::connect(&ui, &CQtUi::StatusTextChanged, frame.get(), &CMainFrame::SetStatusText);
  ui.SetClient(client.get());
}

CDesktopWindows::~CDesktopWindows() = default;

void CDesktopWindows::Show() {
  frame->ShowAtStart(program.Settings().Get(settings::MainState));
  // A first start: the user makes a mailbox before anything else, once the window is up.
  if (program.Mailboxes().Count() == 0) {
    QTimer::singleShot(0, frame.get(), [this] { settingsCommands->EditMailboxes(); });
  }
}

void CDesktopWindows::SaveLayout() {
  frame->SavePlacement();
  view->SaveLayout();
}

}  // namespace qm
