#include "ui/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
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
#include <QToolBar>
#include <QWindow>

#include "mailboxes/mailbox_set.h"
#include "platform/code_page.h"
#include "ui/artwork.h"
#include "ui/command_menus.h"
#include "ui/model/frame_texts.h"
#include "ui/orbalt_view.h"

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

}  // namespace

CMainFrame::CMainFrame(CSettings& programSettings, QWidget* parent)
    : QMainWindow(parent), settings(programSettings) {
  setWindowTitle(QString::fromUtf8(kTitle));
  setWindowIcon(QIcon(TrayPicture()));

  toolBar = addToolBar(QStringLiteral("ツールバー"));
  toolBar->setObjectName(QStringLiteral("toolBar"));
  toolBar->setMovable(false);
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

  trayMenu = new QMenu(this);
  connect(trayMenu->addAction(QStringLiteral("ウィンドウの表示")), &QAction::triggered, this,
          &CMainFrame::ShowMainWindow);
  connect(trayMenu->addAction(QStringLiteral("終了")), &QAction::triggered, this,
          &CMainFrame::ExitProgram);

  RestorePlacement();
  EnsureTrayIcon();
}

CMainFrame::~CMainFrame() = default;

bool CMainFrame::EnsureTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (trayIcon == nullptr) {
    trayIcon = new QSystemTrayIcon(QIcon(TrayPicture()), this);
    trayIcon->setToolTip(QString::fromUtf8(kTrayTip));
    trayIcon->setContextMenu(trayMenu);
    connect(trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                ShowMainWindow();
              }
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

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (exiting) {
    event->accept();
    return;
  }
  // Closing from the title bar never ends the program: it goes on fetching and serving mail.
  event->ignore();
  PutAway();
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
    // A button shows the bare label; the tab and shortcut belong to menus.
    action->setIconText(QString::fromStdString(PlainLabel(*info)));
    toolBar->insertAction(toolBarSpacer, action);
    toolActions.push_back(action);
  }
  connect(view, &COrbaltView::CommandStatesChanged, this, &CMainFrame::RefreshToolBar);
  connect(view, &COrbaltView::CountsChanged, this, &CMainFrame::RefreshCounts);
  connect(view, &COrbaltView::MailboxActivated, this, [this](int index) {
    const QSignalBlocker quiet(mailboxSelector);
    mailboxSelector->setCurrentIndex(index < mailboxSelector->count() ? index : -1);
  });
  connect(view, &COrbaltView::MinimiseAndHideRequested, this, [this] {
    showMinimized();
    PutAway();
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
    mailboxSelector->addItem(QString::fromStdString(Cp932ToUtf8(entry)));
  }
  mailboxSelector->setCurrentIndex(current < mailboxSelector->count() ? current : -1);
  const FrameCounts counts = ComputeFrameCounts(view->Mailboxes());
  SetCountTexts(QString::fromStdString(counts.mailboxCounts),
                QString::fromStdString(counts.dustboxCounts));
  if (trayIcon != nullptr)
    trayIcon->setToolTip(QString::fromStdString(Cp932ToUtf8(counts.trayTip)));
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
