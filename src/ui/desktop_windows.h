// The windows of the desktop on a started program: the main window with the mail list, the
// notification and the routing of the program's messages to the list, as `qm_mailfilter` shows
// them and as tests drive them.
#pragma once

#include <memory>

#include "app/user_interface.h"

namespace qm {

class CApplication;
class CMainFrame;
class CNotifier;
class COrbaltView;
class CQtSoundPlayer;
class CQtUi;
class CSettingsCommands;

class CDesktopWindows {
 public:
  // After `program.Startup()`; the windows are built but not shown. Messages, timers and idle
  // steps of `ui` reach the program (and the list) from now on.
  CDesktopWindows(CApplication& program, CQtUi& ui);
  ~CDesktopWindows();
  CDesktopWindows(const CDesktopWindows&) = delete;
  CDesktopWindows& operator=(const CDesktopWindows&) = delete;

  // Shows the main window by the saved show state; with no mailbox yet, opens the mailbox
  // settings so that the user makes the first one.
  void Show();
  // Keeps the window's rectangle and the list's layout in the settings, before the program's
  // shutdown.
  void SaveLayout();

  CMainFrame& Frame() { return *frame; }
  COrbaltView& View() { return *view; }
  CSettingsCommands& SettingsCommands() { return *settingsCommands; }

 private:
  class CClient;

  CApplication& program;
  std::unique_ptr<CMainFrame> frame;
  COrbaltView* view;
  std::unique_ptr<CQtSoundPlayer> sound;
  std::unique_ptr<CNotifier> notifier;
  std::unique_ptr<CSettingsCommands> settingsCommands;
  std::unique_ptr<CClient> client;
};

}  // namespace qm
