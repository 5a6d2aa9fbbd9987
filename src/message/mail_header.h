// The header-field table of one message text. Fields are looked up by name without regard to the
// case of ASCII letters; the first field of a name wins.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class MailHeader {
 public:
  MailHeader() = default;
  MailHeader(const MailHeader&) = default;
  MailHeader& operator=(const MailHeader&) = default;
  virtual ~MailHeader() = default;

  // Keeps the text; parsing waits for the first look-up. Text after a NUL byte is not part of a
  // message and is dropped. Returns 1.
  int SetText(std::string_view text);
  void Reset();

  // 1 and the value when a field of that name exists; 0 and an empty value when none does; 0 and
  // `value` untouched when there is no text.
  int GetField(std::string_view name, std::string& value);

  bool HasText() const { return hasText; }
  const std::string& Text() const { return text; }
  // These parse first when needed.
  std::uint32_t HeaderLength();
  const std::vector<std::string>& FieldNames();
  const std::vector<std::string>& FieldValues();

 protected:
  // Parses when there is text and it has not been parsed; false when there is no text.
  bool EnsureParsed();

  std::string text;
  bool hasText = false;
  std::uint32_t headerLength = 0;
  std::vector<std::string> fieldNames;
  std::vector<std::string> fieldValues;
  bool parsed = false;

 private:
  void ParseFields();
};

// Lower-cases the ASCII letters of code page 932 text, leaving the second byte of every two-byte
// character alone (it may fall in the ASCII letter range).
std::string LowerAscii932(std::string_view text);

}  // namespace qm
