#include "ui/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QSignalBlocker>
#include <QSizePolicy>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QWindow>

#include "app/user_interface.h"
#include "mailboxes/mailbox_set.h"
#include "ui/about_dialog.h"
#include "ui/artwork.h"
#include "ui/command_menus.h"
#include "ui/model/frame_texts.h"
#include "ui/notify_wnd.h"
#include "ui/orbalt_view.h"
#include "ui/toolbar_pictures.h"

namespace qm {

namespace {

// The panes are sized by sample texts, so that the bar does not jump as the texts change.
constexpr const char* kStatusSample =
    "オリジナルメッセージインジケータ　+++++ +++++ メッセージ表示部";
constexpr const char* kCountsSample = " 9999 （ 9999 ）";

QLabel* AddPane(QStatusBar& bar, const char* sample, const QString& text) {
  auto* pane = new QLabel(text);
  pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(QString::fromUtf8(sample)) + 8);
  bar.addPermanentWidget(pane);
  return pane;
}

bool Minimised(int state) { return state == 2 || state == 6; }

QPixmap PictureOf(TrayPicture picture) {
  switch (picture) {
    case TrayPicture::NewMail:
      return TrayNewMailPicture();
    case TrayPicture::InBetween:
      return TrayInBetweenPicture();
    case TrayPicture::Normal:
      break;
  }
  return TrayNormalPicture();
}

}  // namespace

CMainFrame::CMainFrame(CSettings& programSettings, QWidget* parent)
    : QMainWindow(parent), settings(programSettings) {
  setWindowTitle(QString::fromUtf8(kTitle));
  setWindowIcon(QIcon(TrayNormalPicture()));

  toolBar = addToolBar(QStringLiteral("ツールバー"));
  toolBar->setObjectName(QStringLiteral("toolBar"));
  toolBar->setMovable(false);
  // Pictures only: with the labels, the buttons and the mailbox selector would not fit the
  // window's first size. The labels stay the buttons' names for screen readers.
  toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  toolBar->setIconSize(QSize(16, 16));
  auto* spacer = new QWidget(toolBar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolBarSpacer = toolBar->addWidget(spacer);
  mailboxSelector = new QComboBox(toolBar);
  mailboxSelector->setObjectName(QStringLiteral("mailboxSelector"));
  mailboxSelector->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  mailboxSelector->setMinimumContentsLength(24);
  toolBar->addWidget(mailboxSelector);

  // The mail list takes this place.
  setCentralWidget(new QWidget(this));

  QStatusBar& bar = *statusBar();
  statusText = AddPane(bar, kStatusSample, QString::fromUtf8(kFirstStatus));
  statusText->setObjectName(QStringLiteral("statusText"));
  mailboxCounts = AddPane(bar, kCountsSample, QString());
  mailboxCounts->setObjectName(QStringLiteral("mailboxCounts"));
  dustboxCounts = AddPane(bar, kCountsSample, QString());
  dustboxCounts->setObjectName(QStringLiteral("dustboxCounts"));

  trayMenu = new QMenu(QString::fromUtf8(kTrayMenuTitle), this);
  trayMenu->setObjectName(QStringLiteral("trayMenu"));
  connect(trayMenu->addAction(QStringLiteral("メールを受信 ( Shift : 全メールボックス）")),
          &QAction::triggered, this, [this] {
            if (view == nullptr) return;
            const bool shift =
                QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier);
            view->Commands().Execute(CmdReceive, shift, false);
          });
  connect(trayMenu->addAction(QStringLiteral("ウィンドウの表示")), &QAction::triggered, this,
          &CMainFrame::ShowMainWindow);
  connect(trayMenu->addAction(QStringLiteral("ごみ箱メールを開封済みにする")), &QAction::triggered,
          this, [this] {
            if (view != nullptr) view->Commands().Execute(CmdMarkDustboxRead, false, false);
          });
  // Ends at once, without the question a close request asks.
  connect(trayMenu->addAction(QStringLiteral("終了")), &QAction::triggered, this,
          &CMainFrame::ExitProgram);

  mailboxMenu = new QMenu(this);
  mailboxMenu->setObjectName(QStringLiteral("mailboxMenu"));
  connect(mailboxMenu, &QMenu::triggered, this, [this](QAction* action) {
    const int index = MailboxOfMenuCommand(action->data().toInt());
    if (index >= 0) OpenMailbox(index);
  });

  blinkTimer = new QTimer(this);
  blinkTimer->setInterval(CTrayBlink::kIntervalMs);
  connect(blinkTimer, &QTimer::timeout, this, &CMainFrame::BlinkTick);
  trayTip = QString::fromUtf8(kTrayTip);

  RestorePlacement();
  EnsureTrayIcon();
}

CMainFrame::~CMainFrame() {
  // A floating notification outlives no frame: its clicks act on this window. Deleted at once,
  // since the event loop that would carry out a close may have ended already.
  delete CNotifyWnd::Current();
}

bool CMainFrame::EnsureTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (trayIcon == nullptr) {
    trayIcon = new QSystemTrayIcon(QIcon(PictureOf(blink.Picture())), this);
    trayIcon->setToolTip(trayTip);
    // The platform shows this menu itself on a right click; Context then only ends the new-mail
    // indication.
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              OnTrayActivated(static_cast<int>(reason));
            });
  }
  trayIcon->show();
  return true;
}

void CMainFrame::ShowAtStart(int state) {
  if (Minimised(state)) {
    if (EnsureTrayIcon()) return;
    // Hidden without a tray icon, the window could not be reached again.
    showMinimized();
  } else if (state == 3) {
    showMaximized();
  } else {
    show();
  }
}

void CMainFrame::ShowMainWindow() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  raise();
  activateWindow();
}

void CMainFrame::ExitProgram() {
  exiting = true;
  // exit, not quit: quit would ask this window to close first.
  QCoreApplication::exit(0);
}

void CMainFrame::SetNewMailState(bool on) {
  if (on) {
    blink.Start();
    blinkTimer->start();
    return;
  }
  if (view != nullptr) view->Mailboxes().ResetCounters(-1);
  blinkTimer->stop();
  blink.Stop();
  ShowTrayPicture(blink.Picture());
}

void CMainFrame::BlinkTick() { ShowTrayPicture(blink.Tick()); }

void CMainFrame::ShowTrayPicture(TrayPicture picture) {
  shownPicture = picture;
  if (trayIcon != nullptr) trayIcon->setIcon(QIcon(PictureOf(picture)));
  emit TrayPictureShown(picture);
}

void CMainFrame::OnTrayActivated(int reason) {
  switch (static_cast<QSystemTrayIcon::ActivationReason>(reason)) {
    case QSystemTrayIcon::Trigger:
      HandleTrayEvent(TrayEvent::LeftDown);
      HandleTrayEvent(TrayEvent::LeftUp);
      break;
    case QSystemTrayIcon::DoubleClick:
      HandleTrayEvent(TrayEvent::LeftDoubleClick);
      break;
    case QSystemTrayIcon::Context:
      HandleTrayEvent(TrayEvent::RightDown);
      HandleTrayEvent(TrayEvent::RightUp);
      break;
    case QSystemTrayIcon::MiddleClick:
      HandleTrayEvent(TrayEvent::MiddleUp);
      break;
    default:
      break;
  }
}

void CMainFrame::HandleTrayEvent(TrayEvent event) {
  const std::uint32_t actions = trayMouse.Handle(event);
  if (actions & TrayEndNewMail) SetNewMailState(false);
  if (actions & TrayCloseNotification) CNotifyWnd::CloseCurrent();
  if (actions & TrayShowMailboxMenu) ShowMailboxMenu();
  if (actions & TrayShowMainWindow) ShowMainWindow();
  // The platform's own context menu is already on its way; a second one would stack on it.
  if ((actions & TrayShowTrayMenu) && (trayIcon == nullptr || trayIcon->contextMenu() == nullptr))
    trayMenu->popup(QCursor::pos());
  if ((actions & TrayRetrieveAll) && view != nullptr)
    view->Mailboxes().StartRetrieval(kTriggerTray, -1);
  if (actions & TrayMarkDustboxesRead) MarkDustboxesReadFromTray();
}

void CMainFrame::ShowMailboxMenu() {
  mailboxMenu->clear();
  if (view != nullptr) {
    const std::vector<std::string> entries = MailboxEntries(view->Mailboxes());
    const int count = MailboxMenuEntryCount(static_cast<int>(entries.size()));
    for (int i = 0; i < count; ++i) {
      QAction* action = mailboxMenu->addAction(
          QString::fromStdString(MailboxNameForDisplay(entries[static_cast<std::size_t>(i)])));
      action->setData(kFirstMailboxCommand + i);
    }
  }
  // Not exec: a double click that follows must reach the icon while the menu is up.
  mailboxMenu->popup(QCursor::pos());
}

void CMainFrame::MarkDustboxesReadFromTray() {
  if (view == nullptr) return;
  MarkEveryDustboxRead(view->Mailboxes());
  view->RefreshRows();
  view->UpdateCounts();
  // The idle step saves the changed marks.
  if (ui != nullptr) ui->PostMessage(kWakeIdle);
}

void CMainFrame::OpenMailbox(int index) {
  if (view == nullptr) return;
  if (index < 0 || index >= view->Mailboxes().Count()) return;
  if (view->List().DustboxView()) view->List().ShowDustbox(false);
  view->ActivateMailbox(index);
  emit view->CommandStatesChanged();
  ShowMainWindow();
}

void CMainFrame::ShowNewMailbox() {
  if (view == nullptr) return;
  if (view->Mailboxes().Count() == 0) {
    ShowMainWindow();
    return;
  }
  OpenMailbox(MailboxToShowForNewMail(view->Mailboxes()));
}

void CMainFrame::PutAway() {
  if (EnsureTrayIcon()) {
    hide();
    return;
  }
  showMinimized();
  if (!toldMinimised) {
    toldMinimised = true;
    SetStatusText(QString::fromUtf8(kMinimisedNotice));
  }
}

bool CMainFrame::HandleCloseRequest(bool fromWindowSystem) {
  if (exiting) return true;
  // Closing from the title bar never ends the program: it goes on fetching and serving mail.
  if (fromWindowSystem || ui == nullptr) {
    PutAway();
    return false;
  }
  if (ui->Ask(kExitQuestion, Buttons::OkCancel, Answer::Cancel) != Answer::Ok) return false;
  ExitProgram();
  return true;
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  // The window system's requests arrive as spontaneous events; the program's own are not.
  if (HandleCloseRequest(event->spontaneous())) {
    event->accept();
  } else {
    event->ignore();
  }
}

void CMainFrame::AttachView(COrbaltView& listView) {
  view = &listView;
  setCentralWidget(view);
  CListCommands& commands = view->Commands();
  for (const ListMenu& menu : MainMenus()) {
    menuBar()->addMenu(MakeCommandMenu(menu, commands, this));
  }
  for (const int id : ToolBarCommands()) {
    const ListCommandInfo* info = id == kSeparatorId ? nullptr : FindListCommand(id);
    if (info == nullptr) {
      toolBar->insertSeparator(toolBarSpacer);
      continue;
    }
    QAction* action = MakeCommandAction(*info, commands, toolBar);
    // A button is named by the bare label (read out by screen readers, and listed when the
    // toolbar overflows); the tab and shortcut belong to menus.
    action->setIconText(QString::fromStdString(PlainLabel(*info)));
    action->setIcon(ToolBarIcon(id));
    toolBar->insertAction(toolBarSpacer, action);
    toolActions.push_back(action);
  }
  connect(view, &COrbaltView::CommandStatesChanged, this, &CMainFrame::RefreshToolBar);
  connect(view, &COrbaltView::CountsChanged, this, &CMainFrame::RefreshCounts);
  // The settings dialogs need the program and are opened by the desktop; the version dialog is
  // the window's own.
  connect(view, &COrbaltView::DialogRequested, this, [this](int command) {
    if (command == CmdVersion) ShowAboutDialog(this);
  });
  connect(view, &COrbaltView::MailboxActivated, this, [this](int index) {
    const QSignalBlocker quiet(mailboxSelector);
    mailboxSelector->setCurrentIndex(index < mailboxSelector->count() ? index : -1);
  });
  connect(view, &COrbaltView::MinimiseAndHideRequested, this, [this] {
    showMinimized();
    PutAway();
  });
  connect(view, &COrbaltView::NewMailIndicationEnded, this, [this] {
    SetNewMailState(false);
    CNotifyWnd::CloseCurrent();
  });
  connect(mailboxSelector, &QComboBox::activated, view, &COrbaltView::ActivateMailbox);
  RefreshMailboxes();
  RefreshToolBar();
}

void CMainFrame::RefreshMailboxes() {
  if (view == nullptr) return;
  const QSignalBlocker quiet(mailboxSelector);
  const int current = view->List().CurrentIndex();
  mailboxSelector->clear();
  for (const std::string& entry : MailboxEntries(view->Mailboxes())) {
    mailboxSelector->addItem(QString::fromStdString(MailboxNameForDisplay(entry)));
  }
  mailboxSelector->setCurrentIndex(current < mailboxSelector->count() ? current : -1);
  const FrameCounts counts = ComputeFrameCounts(view->Mailboxes());
  SetCountTexts(QString::fromStdString(counts.mailboxCounts),
                QString::fromStdString(counts.dustboxCounts));
  trayTip = QString::fromStdString(counts.trayTip);
  if (trayIcon != nullptr) trayIcon->setToolTip(trayTip);
}

void CMainFrame::RefreshCounts() {
  if (view == nullptr) return;
  // The entries carry the counts too; rebuilding them also follows added or removed mailboxes.
  RefreshMailboxes();
  RefreshToolBar();
}

void CMainFrame::RefreshToolBar() {
  if (view != nullptr) RefreshActions(toolActions, view->Commands());
}

void CMainFrame::SetStatusText(const QString& text) { statusText->setText(text); }

void CMainFrame::SetCountTexts(const QString& mailboxes, const QString& dustboxes) {
  mailboxCounts->setText(mailboxes);
  dustboxCounts->setText(dustboxes);
}

void CMainFrame::RestorePlacement() {
  const QRect rect(settings.Get(settings::MainX), settings.Get(settings::MainY),
                   settings.Get(settings::MainWidth), settings.Get(settings::MainHeight));
  const int absent = settings::kDefaultPosition;
  bool usable = rect.x() != absent && rect.y() != absent && rect.width() != absent &&
                rect.height() != absent && rect.width() > 0 && rect.height() > 0;
  // A rectangle from a screen that is gone would put the window out of reach.
  if (usable) {
    usable = false;
    for (const QScreen* screen : QGuiApplication::screens()) {
      if (screen->availableGeometry().intersects(rect)) usable = true;
    }
  }
  if (usable) {
    setGeometry(rect);
    placementRead = true;
  } else {
    resize(860, 520);
  }
}

void CMainFrame::SavePlacement() {
  int state = 1;
  if (!isVisible() || isMinimized()) {
    state = 2;
  } else if (isMaximized()) {
    state = 3;
  }
  settings.Set(settings::MainState, state);
  // A window that was never on screen has no rectangle of its own; keep the one read.
  if (!placementRead && windowHandle() == nullptr) return;
  QRect rect = normalGeometry();
  if (!rect.isValid()) rect = geometry();
  settings.Set(settings::MainX, rect.x());
  settings.Set(settings::MainY, rect.y());
  settings.Set(settings::MainWidth, rect.width());
  settings.Set(settings::MainHeight, rect.height());
}

}  // namespace qm
