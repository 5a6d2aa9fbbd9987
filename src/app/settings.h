// The program-wide settings in "qm_mailfilter.ini" in the working directory: every key with its
// section and default. Values are read from the file when asked for and written at once; a missing
// or unreadable file gives the defaults.
#pragma once

#include <string>

#include "platform/profile.h"

namespace qm {

struct IntSetting {
  const char* section;
  const char* key;
  int defaultValue;
};

struct StringSetting {
  const char* section;
  const char* key;
  const char* defaultValue;
};

namespace settings {

inline constexpr const char* kFileName = "qm_mailfilter.ini";

// An ordinary user may not listen on ports below 1024, so not on POP3's own 110.
inline constexpr IntSetting Port{"Mailbox", "Port", 1110};
// The mailbox names in order, each followed by ":".
inline constexpr StringSetting Mailboxes{"Mailbox", "Mailboxes", ""};
// The local server hands out mail for clear-text passwords: by default only to this machine. An
// empty value listens on every interface.
inline constexpr StringSetting BindAddress{"Mailbox", "BindAddress", "127.0.0.1"};
// Seconds of silence after which the local server drops a client: logged in, and before.
inline constexpr IntSetting IdleTimeout{"Mailbox", "IdleTimeout", 600};
inline constexpr IntSetting LoginTimeout{"Mailbox", "LoginTimeout", 60};

inline constexpr StringSetting Mailer{"Misc", "Mailer", ""};
inline constexpr IntSetting StartupRetrieve{"Misc", "StartupRetrieve", 1};
inline constexpr IntSetting ShowSplash{"Misc", "ShowSplash", 1};
inline constexpr IntSetting NotifyTime{"Misc", "NotifyTime", 10};
inline constexpr IntSetting NotifyBySound{"Misc", "NotifyBySound", 1};
inline constexpr StringSetting NotifySound{"Misc", "NotifySound", ""};
inline constexpr IntSetting ServerTimeout{"Misc", "ServerTimeout", 60};

// An absent notification position means the default place; the options dialog reads it with
// this sentinel.
inline constexpr int kDefaultPosition = 0x8FFFFF;
inline constexpr IntSetting NotifyWindowPosX{"Geometry", "NotifyWindowPosX", kDefaultPosition};
inline constexpr IntSetting NotifyWindowPosY{"Geometry", "NotifyWindowPosY", kDefaultPosition};
// The main window's normal rectangle; absent (the sentinel), the window system places it.
inline constexpr IntSetting MainX{"Geometry", "Main_x", kDefaultPosition};
inline constexpr IntSetting MainY{"Geometry", "Main_y", kDefaultPosition};
inline constexpr IntSetting MainWidth{"Geometry", "Main_w", kDefaultPosition};
inline constexpr IntSetting MainHeight{"Geometry", "Main_h", kDefaultPosition};
// Minimised states (2, 6) start the program hidden in the notification area.
inline constexpr IntSetting MainState{"Geometry", "Main_state", 5};
inline constexpr StringSetting ColumnSizes{"Geometry", "ColSizes", "60,30,240,130,240,120"};

inline constexpr IntSetting SortColumn{"MailList", "Sort", 0};
inline constexpr IntSetting SortReverse{"MailList", "Reverse", 0};

inline constexpr IntSetting AddEmptyAddrToBadlist{"ProcessMail", "AddEmptyAddrToBadlist", 0};

// The DNS blocklists: "Zone0" to "Zone3" (each with its leading dot; the defaults fit each role),
// "Refuse0" to "Refuse3" (further answers by which a zone refuses a query, comma-separated),
// "DnsServers" (comma-separated host or host:port; empty: the system's configuration) and
// "DnsTimeout" (seconds).
inline constexpr const char* kBlocklistSection = "RBL";
inline constexpr StringSetting DnsServers{"RBL", "DnsServers", ""};
inline constexpr IntSetting DnsTimeout{"RBL", "DnsTimeout", 5};

}  // namespace settings

// The settings file of a working directory and typed access to its keys.
class CSettings {
 public:
  // `directory` empty: the current directory, made absolute now so that a later change of
  // directory does not move the file.
  explicit CSettings(const std::string& directory = {});

  CProfile& Profile() { return profile; }
  const CProfile& Profile() const { return profile; }

  int Get(const IntSetting& setting) const;
  std::string Get(const StringSetting& setting) const;
  // For keys whose default is not fixed (window rectangles): `defaultValue` when absent.
  int GetInt(const char* section, const char* key, int defaultValue) const;
  bool Set(const IntSetting& setting, int value);
  // nullptr removes the key.
  bool Set(const StringSetting& setting, const char* value);
  bool Remove(const IntSetting& setting);

 private:
  CProfile profile;
};

}  // namespace qm
