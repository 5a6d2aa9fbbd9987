// The program's only top-level window: a toolbar with the mailbox selector at its right, the mail
// list in the middle, a status bar of four panes below, and the notification-area icon through
// which the program lives while the window is hidden.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QString>

#include "app/settings.h"
#include "ui/model/tray.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class QToolBar;

namespace qm {

class COrbaltView;
class IUserInterface;

class CMainFrame : public QMainWindow {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Quillmoor Mail Filter ベータ版";
  static constexpr const char* kTrayTip = "Quillmoor Mail Filter";
  static constexpr const char* kFirstStatus = "Hello!";
  // Said once, the first time the window is minimised instead of hidden.
  static constexpr const char* kMinimisedNotice =
      "通知領域がないため、ウィンドウは最小化されました。";
  static constexpr const char* kTrayMenuTitle = "トレイメニュー";
  static constexpr const char* kExitQuestion = "終了してもよろしいですか？";

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
  // A request to close the window: from the window system (title bar, Alt+F4) it only puts the
  // window away; any other asks whether to end the program. True when the window may close.
  bool HandleCloseRequest(bool fromWindowSystem);

  // Puts the mail list in the middle and builds the menu bar, the toolbar buttons and the mailbox
  // selector from its commands and mailboxes. Once, before the window is shown.
  void AttachView(COrbaltView& view);
  // The selector's entries and the count panes anew from the mailboxes.
  void RefreshMailboxes();
  void RefreshCounts();
  // The seam, for the wake-up after the tray marked dustbox mail read and the exit question.
  void SetUi(IUserInterface& seam) { ui = &seam; }

  // On: the tray icon starts blinking. Off ends the new-mail indication: the counters of every
  // mailbox start again from zero and the icon is the normal one.
  void SetNewMailState(bool on);
  bool NewMailBlinking() const { return blink.Blinking(); }
  TrayPicture ShownTrayPicture() const { return shownPicture; }
  QString TrayTip() const { return trayTip; }
  // One event on the tray icon, as the platform's activations are translated.
  void HandleTrayEvent(TrayEvent event);
  // The main window with the mailbox at `index` in its list, the dustbox view off.
  void OpenMailbox(int index);
  // The main window with the first mailbox whose new mail is notified, else mailbox 0.
  void ShowNewMailbox();

  COrbaltView* View() { return view; }
  CSettings& Settings() { return settings; }

  QToolBar& ToolBar() { return *toolBar; }
  QComboBox& MailboxSelector() { return *mailboxSelector; }

 public slots:
  void SetStatusText(const QString& text);
  void SetCountTexts(const QString& mailboxes, const QString& dustboxes);

 signals:
  void TrayPictureShown(qm::TrayPicture picture);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // The tray host may come and go; asked each time the window is about to leave the screen.
  bool EnsureTrayIcon();
  void PutAway();
  void RestorePlacement();

  void RefreshToolBar();
  void ShowTrayPicture(TrayPicture picture);
  void BlinkTick();
  void OnTrayActivated(int reason);
  void ShowMailboxMenu();
  void MarkDustboxesReadFromTray();

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
  QMenu* mailboxMenu = nullptr;
  QTimer* blinkTimer;
  CTrayBlink blink;
  CTrayMouse trayMouse;
  TrayPicture shownPicture = TrayPicture::Normal;
  QString trayTip;
  IUserInterface* ui = nullptr;
  bool placementRead = false;
  bool exiting = false;
  bool toldMinimised = false;
};

}  // namespace qm
