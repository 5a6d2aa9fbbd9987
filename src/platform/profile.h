// Settings kept in an INI file ("private profile"), read and written the way the Windows profile
// functions do it, so that settings files move between the two systems unchanged:
//
//   [Section]
//   Key=Value
//
// Section and key names match without regard to ASCII case; where a section or a key appears
// twice, the first one counts. Lines starting with ";" are comments. Values are bytes.
//
// Nothing is cached: every read looks at the file as it is now, and every write rewrites it at
// once, crash-safely, changing only the line concerned (comments, other sections, order and line
// ends stay as they are). A file that is missing or unreadable reads as empty.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace qm {

class CProfile {
 public:
  explicit CProfile(std::string path) : path_(std::move(path)) {}
  CProfile(const CProfile&) = delete;
  CProfile& operator=(const CProfile&) = delete;

  const std::string& Path() const { return path_; }

  // The decimal number at the start of the value: an optional sign and digits, wrapping
  // modulo 2^32 like the Windows function; 0 when the value does not start with a number;
  // `defaultValue` when the key is missing or its value empty.
  int GetInt(std::string_view section, std::string_view key, int defaultValue) const;

  // The value without surrounding blanks, and without the quotes when it is enclosed in a
  // matching pair of double or single quotes; `defaultValue` when the key is missing.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view defaultValue) const;

  // A new key goes at the end of its section, a new section at the end of the file. nullptr
  // removes the key. False when the file could not be written, or when a name or the value
  // would change the structure of the file (line breaks; "=" or a leading "[" or ";" in a key;
  // "]" in a section; blanks around a name, which reading drops).
  bool WriteString(std::string_view section, std::string_view key, const char* value);
  bool WriteInt(std::string_view section, std::string_view key, int value);
  bool RemoveKey(std::string_view section, std::string_view key);

 private:
  bool Update(std::string_view section, std::string_view key, const char* value);

  std::string path_;
  // Serialises the read-modify-write of concurrent writers in this process.
  mutable std::mutex mutex_;
};

}  // namespace qm
