// The new-mail notification without its window: whether and how a finished retrieval is
// announced, where the small window goes, how big it is, where its parts are drawn, how it is
// dragged, and which window is the current one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "mailboxes/retrieval_host.h"

namespace qm {

class CMailboxSet;
class CProfile;

struct ScreenPoint {
  int x = 0;
  int y = 0;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

struct ScreenSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

// Where the window goes in its area.
enum NotifyPosition : int {
  NotifyCentre = 1,
  NotifyTopLeft = 2,
  NotifyTopRight = 3,
  NotifyBottomLeft = 4,
  NotifyBottomRight = 5,
};

struct NotifySettings {
  int seconds = 10;  // 0: no window
  bool bySound = true;
  std::string soundFile;  // empty: the system's information beep
  // The floating window's remembered top-left corner, when the user dragged it somewhere.
  std::optional<int> positionX;
  std::optional<int> positionY;
};
NotifySettings LoadNotifySettings(const CProfile& profile);
bool SaveNotifyPosition(CProfile& profile, ScreenPoint position);

struct NotifyDecision {
  bool sound = false;
  bool blink = false;
  bool window = false;
  // Shown inside the main window's client area; otherwise it floats on the desktop.
  bool insideMainWindow = false;
  int position = 0;
};

// `due`: there is new mail and some mailbox's options notify it. A timed retrieval speaks only
// when due; one the user asked for always sounds and, with a time, shows its window.
NotifyDecision DecideNotification(int trigger, bool due, int notifySeconds, bool mainWindowVisible);

struct MailReceived {
  std::uint32_t friendCount = 0;
  std::uint32_t badCount = 0;
  std::uint32_t spamCount = 0;
  std::uint32_t otherCount = 0;
  NotifyDecision decision;
  // The mailbox whose timer to start again, -1 for all.
  int restartTimers = -1;
};
// The mail-received handler's reading of the set: the counts of the mailbox for the receive
// command, the sums otherwise; it takes (clears) the new-mail flags it covers.
MailReceived OnMailReceived(CMailboxSet& mailboxes, int trigger, int index, int notifySeconds,
                            bool mainWindowVisible);

// What the sound step does.
enum class NotifySound { None, File, Beep };
NotifySound ChooseNotifySound(const NotifySettings& settings);

// The close timer in milliseconds, 0 for none.
int NotifyCloseMilliseconds(int seconds);
inline constexpr int kNotifyAfterDragMilliseconds = 3000;

// The window's top-left corner in its area for a position mode (an unknown mode is top left).
ScreenPoint PositionInArea(int mode, ScreenSize area, ScreenSize window);
// A floating window goes where the user left it last, if anywhere; otherwise the mode decides.
ScreenPoint NotifyWindowPosition(bool floating, const NotifySettings& settings, int mode,
                                 ScreenSize area, ScreenSize window);

// The four counts as the window shows them, friend, bad, spam, other.
std::array<std::string, 4> NotifyCountTexts(std::uint32_t friendCount, std::uint32_t badCount,
                                            std::uint32_t spamCount, std::uint32_t otherCount);
// The window's size from the extent of the four count texts joined without separators.
ScreenSize NotifyWindowSize(ScreenSize joinedTextExtent);

struct NotifyLayout {
  ScreenPoint heading;
  std::array<ScreenPoint, 4> icons;
  std::array<ScreenPoint, 4> texts;
};
inline constexpr int kNotifyIconSize = 16;
NotifyLayout LayoutNotification(int headingHeight, const std::array<int, 4>& textWidths);

// What the window does for a mouse event; carried out in this order.
enum NotifyAction : std::uint32_t {
  NotifyNothing = 0,
  NotifyStartDrag = 1u << 0,  // kill the close timer, capture the mouse
  NotifyMove = 1u << 1,       // move the window to CNotifyMouse::Position()
  NotifyReleaseCapture = 1u << 2,
  NotifyEndNewMail = 1u << 3,      // end the tray's new-mail indication
  NotifyRestartTimer = 1u << 4,    // close timer of kNotifyAfterDragMilliseconds
  NotifySavePosition = 1u << 5,    // SaveNotifyPosition(Position())
  NotifyShowNewMailbox = 1u << 6,  // main window with MailboxToShowForNewMail
  NotifyLaunchMailer = 1u << 7,
  NotifyHideMainWindow = 1u << 8,  // Shift with the middle button
  NotifyRaiseMainWindow = 1u << 9,
  NotifyClose = 1u << 10,
};

// Dragging: Shift or Ctrl with the left button moves a floating window; with Ctrl the window
// stays on the desktop. Points are screen coordinates.
class CNotifyMouse {
 public:
  std::uint32_t LeftDown(bool shift, bool ctrl, bool floating, ScreenPoint cursor,
                         ScreenPoint windowPosition);
  std::uint32_t MouseMove(ScreenPoint cursor, bool ctrl, ScreenSize window, ScreenSize desktop);
  std::uint32_t LeftUp();
  std::uint32_t RightUp();
  std::uint32_t MiddleUp(bool shift);
  bool Dragging() const { return dragging; }
  // Where the window stands after the last move.
  ScreenPoint Position() const { return position; }

 private:
  bool dragging = false;
  ScreenPoint grabOffset;
  ScreenPoint position;
};

// The window's top-left corner that keeps the grab point under the cursor, held on the desktop
// with `keepOnScreen`.
ScreenPoint DragPosition(ScreenPoint cursor, ScreenPoint grabOffset, bool keepOnScreen,
                         ScreenSize window, ScreenSize desktop);

// Only one notification window is current; a newer one replaces it. Windows are named by ids
// above 0 that the caller hands out.
class CCurrentNotification {
 public:
  // Makes `id` current; the id of the window to ask to close, or 0.
  int Replace(int id);
  // A window is gone; it stops being current only if it still is.
  void Destroyed(int id);
  int Current() const { return current; }

 private:
  int current = 0;
};

}  // namespace qm
