#include "ui/model/notification.h"

#include <algorithm>
#include <climits>

#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"

namespace qm {

namespace {

constexpr const char* kMiscSection = "Misc";
constexpr const char* kGeometrySection = "Geometry";
constexpr const char* kPositionXKey = "NotifyWindowPosX";
constexpr const char* kPositionYKey = "NotifyWindowPosY";

// The profile reads an empty value as the default, so empty counts as absent as well.
std::optional<int> OptionalInt(const CProfile& profile, const char* section, const char* key) {
  if (profile.GetString(section, key, "").empty()) return std::nullopt;
  return profile.GetInt(section, key, 0);
}

}  // namespace

NotifySettings LoadNotifySettings(const CProfile& profile) {
  NotifySettings settings;
  settings.seconds = profile.GetInt(kMiscSection, "NotifyTime", 10);
  settings.bySound = profile.GetInt(kMiscSection, "NotifyBySound", 1) != 0;
  settings.soundFile = profile.GetString(kMiscSection, "NotifySound", "");
  settings.positionX = OptionalInt(profile, kGeometrySection, kPositionXKey);
  settings.positionY = OptionalInt(profile, kGeometrySection, kPositionYKey);
  return settings;
}

bool SaveNotifyPosition(CProfile& profile, ScreenPoint position) {
  const bool x = profile.WriteInt(kGeometrySection, kPositionXKey, position.x);
  const bool y = profile.WriteInt(kGeometrySection, kPositionYKey, position.y);
  return x && y;
}

NotifyDecision DecideNotification(int trigger, bool due, int notifySeconds,
                                  bool mainWindowVisible) {
  NotifyDecision decision;
  const bool window = notifySeconds != 0;
  switch (trigger) {
    case kTriggerTimer:
      if (!due) break;
      decision.sound = true;
      decision.blink = true;
      decision.window = window;
      decision.position = NotifyBottomRight;
      break;
    case kTriggerCommand:
      decision.blink = due;
      decision.sound = true;
      decision.window = window;
      decision.insideMainWindow = mainWindowVisible;
      decision.position = mainWindowVisible ? NotifyCentre : NotifyBottomRight;
      break;
    case kTriggerTray:
      decision.blink = due;
      decision.sound = true;
      decision.window = window;
      decision.position = NotifyBottomRight;
      break;
    default:
      break;
  }
  if (!decision.window) {
    decision.insideMainWindow = false;
    decision.position = 0;
  }
  return decision;
}

MailReceived OnMailReceived(CMailboxSet& mailboxes, int trigger, int index, int notifySeconds,
                            bool mainWindowVisible) {
  MailStatistics statistics;
  mailboxes.Statistics(trigger == kTriggerCommand ? index : -1, statistics);
  MailReceived received;
  received.friendCount = statistics.friendCount;
  received.badCount = statistics.badCount;
  received.spamCount = statistics.spamCount;
  received.otherCount = statistics.otherCount;
  const bool due = statistics.newMail && statistics.notify;
  received.decision = DecideNotification(trigger, due, notifySeconds, mainWindowVisible);
  received.restartTimers = index;
  return received;
}

NotifySound ChooseNotifySound(const NotifySettings& settings) {
  if (!settings.bySound) return NotifySound::None;
  return settings.soundFile.empty() ? NotifySound::Beep : NotifySound::File;
}

int NotifyCloseMilliseconds(int seconds) {
  if (seconds < 1) return 0;
  // A large hand-edited value must not wrap round into a short or negative time.
  return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

ScreenPoint PositionInArea(int mode, ScreenSize area, ScreenSize window) {
  switch (mode) {
    case NotifyCentre:
      return {area.width / 2 - window.width / 2, area.height / 2 - window.height / 2};
    case NotifyTopRight:
      return {area.width - window.width, 0};
    case NotifyBottomLeft:
      return {0, area.height - window.height};
    case NotifyBottomRight:
      return {area.width - window.width, area.height - window.height};
    case NotifyTopLeft:
    default:
      return {0, 0};
  }
}

ScreenPoint NotifyWindowPosition(bool floating, const NotifySettings& settings, int mode,
                                 ScreenSize area, ScreenSize window) {
  if (floating && settings.positionX && settings.positionY) {
    return {*settings.positionX, *settings.positionY};
  }
  return PositionInArea(mode, area, window);
}

std::array<std::string, 4> NotifyCountTexts(std::uint32_t friendCount, std::uint32_t badCount,
                                            std::uint32_t spamCount, std::uint32_t otherCount) {
  // The counters are unsigned and so are the texts: a large count never shows as negative.
  return {std::to_string(friendCount), std::to_string(badCount), std::to_string(spamCount),
          std::to_string(otherCount)};
}

ScreenSize NotifyWindowSize(ScreenSize joinedTextExtent) {
  return {joinedTextExtent.width + 116, joinedTextExtent.height + 32};
}

NotifyLayout LayoutNotification(int headingHeight, const std::array<int, 4>& textWidths) {
  NotifyLayout layout;
  layout.heading = {1, 1};
  const int y = headingHeight + 3;
  int x = 5;
  for (std::size_t i = 0; i < textWidths.size(); ++i) {
    layout.icons[i] = {x, y};
    layout.texts[i] = {x + kNotifyIconSize + 2, y};
    x += textWidths[i] + 26;
  }
  return layout;
}

ScreenPoint DragPosition(ScreenPoint cursor, ScreenPoint grabOffset, bool keepOnScreen,
                         ScreenSize window, ScreenSize desktop) {
  ScreenPoint position{cursor.x - grabOffset.x, cursor.y - grabOffset.y};
  if (keepOnScreen) {
    // A window larger than the desktop keeps its top-left corner on it.
    position.x = std::max(0, std::min(position.x, desktop.width - window.width));
    position.y = std::max(0, std::min(position.y, desktop.height - window.height));
  }
  return position;
}

std::uint32_t CNotifyMouse::LeftDown(bool shift, bool ctrl, bool floating, ScreenPoint cursor,
                                     ScreenPoint windowPosition) {
  if (!floating || !(shift || ctrl)) return NotifyNothing;
  dragging = true;
  grabOffset = {cursor.x - windowPosition.x, cursor.y - windowPosition.y};
  position = windowPosition;
  return NotifyStartDrag;
}

std::uint32_t CNotifyMouse::MouseMove(ScreenPoint cursor, bool ctrl, ScreenSize window,
                                      ScreenSize desktop) {
  if (!dragging) return NotifyNothing;
  position = DragPosition(cursor, grabOffset, ctrl, window, desktop);
  return NotifyMove;
}

std::uint32_t CNotifyMouse::LeftUp() {
  constexpr std::uint32_t kAlways = NotifyReleaseCapture | NotifyEndNewMail;
  if (!dragging) return kAlways | NotifyClose;
  dragging = false;
  return kAlways | NotifyRestartTimer | NotifySavePosition;
}

std::uint32_t CNotifyMouse::RightUp() {
  return NotifyShowNewMailbox | NotifyEndNewMail | NotifyClose;
}

std::uint32_t CNotifyMouse::MiddleUp(bool shift) {
  return NotifyLaunchMailer | (shift ? NotifyHideMainWindow : NotifyNothing) | NotifyEndNewMail |
         NotifyRaiseMainWindow | NotifyClose;
}

int CCurrentNotification::Replace(int id) {
  const int previous = current == id ? 0 : current;
  current = id;
  return previous;
}

void CCurrentNotification::Destroyed(int id) {
  if (current == id) current = 0;
}

}  // namespace qm
