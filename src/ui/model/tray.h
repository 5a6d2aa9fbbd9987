// The tray icon's behaviour without the shell: the blinking that announces new mail, what each
// mouse event on the icon does, and the two things the tray does to the mailbox set.
#pragma once

#include <cstdint>

namespace qm {

class CMailboxSet;

enum class TrayPicture { Normal, InBetween, NewMail };

// The new-mail state: 0 no new mail, 1..3 the phases of the blinking.
class CTrayBlink {
 public:
  static constexpr int kTimerId = 1;
  static constexpr int kIntervalMs = 500;

  // New mail arrived: blinking starts at phase 1; the caller starts the timer.
  void Start() { state = 1; }
  // The new-mail indication ends; the caller kills the timer and shows Picture().
  void Stop() { state = 0; }
  // One timer tick: the picture to show now; the state moves to the next phase.
  TrayPicture Tick();
  // The picture for a fresh registration of the icon (after the shell restarted).
  TrayPicture Picture() const { return state == 0 ? TrayPicture::Normal : TrayPicture::NewMail; }
  int State() const { return state; }
  bool Blinking() const { return state != 0; }

 private:
  int state = 0;
};

enum class TrayEvent {
  LeftDown,
  LeftUp,
  LeftDoubleClick,
  RightDown,
  RightUp,
  RightDoubleClick,
  MiddleUp,
  Other,
};

// What the frame does for a tray event; several may be set, carried out in this order.
enum TrayAction : std::uint32_t {
  TrayNothing = 0,
  TrayEndNewMail = 1u << 0,         // end the blinking and reset the counters
  TrayCloseNotification = 1u << 1,  // close the notification window, if one is open
  TrayShowMailboxMenu = 1u << 2,    // the mailbox menu at the cursor
  TrayShowMainWindow = 1u << 3,     // show, restore and raise the main window
  TrayShowTrayMenu = 1u << 4,       // the tray menu at the cursor
  TrayRetrieveAll = 1u << 5,        // retrieve every mailbox, kTriggerTray
  TrayMarkDustboxesRead = 1u << 6,  // MarkEveryDustboxRead, rebuild a shown dustbox, wake idle
};

// A double click arrives as down, up, double click, up: the flags keep the second up from
// opening a menu after the double click already acted.
class CTrayMouse {
 public:
  std::uint32_t Handle(TrayEvent event);

 private:
  bool leftDoubleClicked = false;
  bool rightDoubleClicked = false;
};

// Marks every mail of every dustbox read, from the last mailbox to the first.
void MarkEveryDustboxRead(CMailboxSet& mailboxes);

// The mailbox that the notification's right click shows: the first with new mail that its options
// notify, else mailbox 0.
int MailboxToShowForNewMail(const CMailboxSet& mailboxes);

}  // namespace qm
