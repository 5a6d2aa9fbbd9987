// The options dialog without its window: the program-wide options it edits, read from the settings
// with their defaults and written back on OK, and what its "Play" button does.
#pragma once

#include <string>
#include <string_view>

namespace qm {

class CSettings;

// What the number fields allow. Coordinates may be negative: on a desktop of several screens a
// screen can lie left of or above the main one.
inline constexpr int kOptionsMinPort = 1;
inline constexpr int kOptionsMaxPort = 65535;
inline constexpr int kOptionsMaxNotifyTime = 86400;
inline constexpr int kOptionsMaxCoordinate = 99999;

struct OptionsValues {
  int port = 1110;     // the settings' default
  std::string mailer;  // UTF-8, as every path in the settings
  bool startupRetrieve = true;
  bool showSplash = true;
  int notifyTime = 10;  // seconds; 0 shows no window
  bool notifyBySound = true;
  std::string notifySound;  // empty: the system's information beep
  // The notification window's place is chosen by the notification itself; the coordinates are
  // then 0 and not written.
  bool defaultPosition = true;
  int positionX = 0;
  int positionY = 0;
  friend bool operator==(const OptionsValues&, const OptionsValues&) = default;
};

// Absent keys give their defaults. A position counts only with both coordinates present (the
// notification uses it only then). Numbers outside what the fields allow are brought into range,
// so that what the dialog shows is what OK writes.
OptionsValues ReadOptions(const CSettings& settings);

// Writes the port, the mail client, the start-up retrieval, the splash, the notification time,
// sound switch and sound file, in this order, then both position keys (removed for the default
// position). Every key is attempted; false when any write failed.
bool WriteOptions(CSettings& settings, const OptionsValues& values);

enum class OptionsPlay { Beep, File, Missing };
// "Play" with the sound field's text: an empty field beeps, a file that exists is played, anything
// else (no such path, a directory) is reported missing.
OptionsPlay ChooseOptionsPlay(std::string_view soundField);

}  // namespace qm
