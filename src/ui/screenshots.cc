#include "ui/screenshots.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressDialog>
#include <QSplashScreen>
#include <QTimer>
#include <array>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "app/application.h"
#include "app/classification.h"
#include "ui/about_dialog.h"
#include "ui/artwork.h"
#include "ui/create_mailbox_dialog.h"
#include "ui/list_editor.h"
#include "ui/mail_viewer.h"
#include "ui/mailbox_dialog.h"
#include "ui/main_frame.h"
#include "ui/model/list_command_table.h"
#include "ui/model/list_commands.h"
#include "ui/notify_wnd.h"
#include "ui/options_dialog.h"
#include "ui/orbalt_view.h"
#include "ui/property_sheet.h"

namespace qm {

namespace {

// Long enough for the first paint and for the splash window to go.
constexpr int kStartDelayMs = 2500;
constexpr int kSettleMs = 300;

// Lets queued layout and paint work finish before a picture is taken.
void Settle() {
  QApplication::processEvents();
  QTimer wait;
  wait.setSingleShot(true);
  wait.start(kSettleMs);
  while (wait.isActive()) QApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool Save(QWidget& widget, const QDir& folder, const char* name) {
  Settle();
  const QString path = folder.filePath(QString::fromLatin1(name));
  if (widget.grab().save(path, "PNG")) return true;
  std::cerr << "cannot write " << path.toStdString() << std::endl;
  return false;
}

// The pictures show mail as the start-up retrieval stored it: it must have ended, and the list
// must show what it stored. Gives up after half a minute and takes the pictures as they are.
void WaitForRetrievals(CApplication& program) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < program.Mailboxes().Count(); ++i) {
    COneSlotSemaphore& lock = program.Mailboxes().Get(i)->retrievalLock;
    while (!lock.TryAcquire()) {
      if (std::chrono::steady_clock::now() >= deadline) return;
      QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    lock.Release();
  }
  Settle();
}

CMailViewer* FindViewer() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* viewer = qobject_cast<CMailViewer*>(widget); viewer && viewer->isVisible()) {
      return viewer;
    }
  }
  return nullptr;
}

// The options dialog's "Play" button is not pressed here.
class CSilentPlayer : public ISoundPlayer {
 public:
  void Play(NotifySound, const std::string&) override {}
};

// Every settings dialog and each page of the first mailbox's property sheet, as they open.
bool TakeDialogs(CMainFrame& frame, CApplication& program, IUserInterface& ui, const QDir& folder) {
  bool ok = true;
  {
    CMailboxDialog dialog(program.Mailboxes(), ui, &frame);
    dialog.Select(0);
    dialog.show();
    ok = Save(dialog, folder, "mailbox_settings.png") && ok;
  }
  {
    CCreateMailboxDialog dialog(ui, &frame);
    dialog.NameField()->setText(QStringLiteral("仕事"));
    dialog.show();
    ok = Save(dialog, folder, "mailbox_create.png") && ok;
  }
  if (program.Mailboxes().Count() > 0) {
    CPropertySheet sheet(program.Mailboxes(), 0, ui, &frame);
    sheet.show();
    constexpr std::array<const char*, CPropertySheet::kPageCount> kPages = {
        "property_account.png", "property_local_accounts.png", "property_receive.png",
        "property_deletion.png"};
    for (int page = 0; page < CPropertySheet::kPageCount; ++page) {
      sheet.ShowPage(page);
      ok = Save(sheet, folder, kPages[static_cast<std::size_t>(page)]) && ok;
    }
  }
  {
    CListEditorDialog dialog(program.Classification().Lists(), program.Settings(), ui, &frame);
    dialog.show();
    ok = Save(dialog, folder, "list_editor.png") && ok;
  }
  {
    CSilentPlayer silent;
    COptionsDialog dialog(program.Settings(), ui, silent, &frame);
    dialog.show();
    ok = Save(dialog, folder, "options.png") && ok;
  }
  return ok;
}

bool TakeAll(CMainFrame& frame, COrbaltView& view, CApplication& program, IUserInterface& ui,
             const QDir& folder) {
  frame.showNormal();
  frame.raise();
  bool ok = Save(frame, folder, "main_window.png");

  view.Commands().Execute(CmdShowDustbox, false, false);
  ok = Save(frame, folder, "dustbox.png") && ok;
  view.Commands().Execute(CmdShowDustbox, false, false);
  Settle();

  const std::array<int, 1> first{0};
  view.SetSelection(first);
  view.Commands().Execute(CmdViewMail, false, false);
  if (CMailViewer* viewer = FindViewer()) {
    ok = Save(*viewer, folder, "mail_viewer.png") && ok;
    viewer->HeaderBox()->click();
    ok = Save(*viewer, folder, "mail_viewer_header.png") && ok;
    viewer->close();
  } else {
    std::cerr << "no mail viewer opened" << std::endl;
    ok = false;
  }

  {
    CAboutDialog about(&frame);
    about.show();
    ok = Save(about, folder, "about.png") && ok;
  }

  {
    QSplashScreen splash(SplashPicture());
    splash.show();
    ok = Save(splash, folder, "splash.png") && ok;
  }

  CNotifyWnd::Request request;
  request.counts = {2, 1, 5, 3};
  // No close timer: the window stays until its picture is taken.
  request.seconds = 0;
  if (CNotifyWnd* notification = CNotifyWnd::Show(frame, request)) {
    ok = Save(*notification, folder, "notification.png") && ok;
    CNotifyWnd::CloseCurrent();
  } else {
    std::cerr << "no notification window opened" << std::endl;
    ok = false;
  }

  // The reclassification's window as it stands half-way through six mails.
  view.OpenProgress(kReclassifyTitle, 5);
  view.StepProgress(2, ReclassifyProgressText(3, 6));
  if (QProgressDialog* progress = view.ProgressWindow()) {
    ok = Save(*progress, folder, "reclassify_progress.png") && ok;
  }
  view.CloseProgress();

  ok = TakeDialogs(frame, program, ui, folder) && ok;

  return ok;
}

}  // namespace

void ScheduleScreenshots(CMainFrame& frame, COrbaltView& view, CApplication& program,
                         IUserInterface& ui) {
  const char* target = std::getenv("QM_SCREENSHOTS");
  if (target == nullptr || *target == '\0') return;
  const QDir folder(QString::fromLocal8Bit(target));
  if (!QDir().mkpath(folder.path())) {
    std::cerr << "cannot create " << target << std::endl;
    QTimer::singleShot(0, [] { QCoreApplication::exit(1); });
    return;
  }
  QTimer::singleShot(kStartDelayMs, &frame, [&frame, &view, &program, &ui, folder] {
    WaitForRetrievals(program);
    const bool ok = TakeAll(frame, view, program, ui, folder);
    QCoreApplication::exit(ok ? 0 : 1);
  });
}

}  // namespace qm
