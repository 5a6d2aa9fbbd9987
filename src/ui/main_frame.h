// The program's only top-level window: a toolbar with the mailbox selector at its right, the mail
// list in the middle, a status bar of four panes below, and the notification-area icon through
// which the program lives while the window is hidden.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QString>

#include "app/settings.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QToolBar;

namespace qm {

class COrbaltView;

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Quillmoor Mail Filter ベータ版";
  static constexpr const char* kTrayTip = "Quillmoor Mail Filter";
  static constexpr const char* kFirstStatus = "Hello!";
  // Said once, the first time the window is minimised instead of hidden.
  static constexpr const char* kMinimisedNotice =
      "通知領域がないため、ウィンドウは最小化されました。";

  // Reads the window rectangle from `settings`; the frame writes it back in SavePlacement.
  explicit CMainFrame(CSettings& settings, QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Shows the window by the show state kept in "Main_state": minimised states (2, 6) start the
  // program in the notification area, 3 maximised, anything else normally.
  void ShowAtStart(int state);
  // Shows the window, restored from minimised, on top.
  void ShowMainWindow();
  // Ends the program: the window may close now, and the event loop ends.
  void ExitProgram();
  // Writes the normal rectangle and the show state.
  void SavePlacement();

  // Puts the mail list in the middle and builds the menu bar, the toolbar buttons and the mailbox
  // selector from its commands and mailboxes. Once, before the window is shown.
  void AttachView(COrbaltView& view);
  // The selector's entries and the count panes anew from the mailboxes.
  void RefreshMailboxes();
  void RefreshCounts();

  QToolBar& ToolBar() { return *toolBar; }
  QComboBox& MailboxSelector() { return *mailboxSelector; }

 public slots:
  void SetStatusText(const QString& text);
  void SetCountTexts(const QString& mailboxes, const QString& dustboxes);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // The tray host may come and go; asked each time the window is about to leave the screen.
  bool EnsureTrayIcon();
  void PutAway();
  void RestorePlacement();

  void RefreshToolBar();

  CSettings& settings;
  COrbaltView* view = nullptr;
  QList<QAction*> toolActions;
  QToolBar* toolBar;
  QAction* toolBarSpacer;
  QComboBox* mailboxSelector;
  QLabel* statusText;
  QLabel* mailboxCounts;
  QLabel* dustboxCounts;
  QMenu* trayMenu;
  QSystemTrayIcon* trayIcon = nullptr;
  bool placementRead = false;
  bool exiting = false;
  bool toldMinimised = false;
};

}  // namespace qm
