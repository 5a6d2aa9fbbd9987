#include "message/mail_header.h"

#include <cstring>

namespace qm {

namespace {

bool IsLeadByte932(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string LowerAscii932(std::string_view text) {
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte932(c)) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

int MailHeader::SetText(std::string_view newText) {
  if (hasText) Reset();
  const std::size_t nul = newText.find('\0');
  text.assign(newText.substr(0, nul));
  hasText = true;
  return 1;
}

void MailHeader::Reset() {
  hasText = false;
  parsed = false;
  text.clear();
  headerLength = 0;
  fieldNames.clear();
  fieldValues.clear();
}

bool MailHeader::EnsureParsed() {
  if (!hasText) return false;
  if (!parsed) ParseFields();
  return true;
}

std::uint32_t MailHeader::HeaderLength() {
  EnsureParsed();
  return headerLength;
}

const std::vector<std::string>& MailHeader::FieldNames() {
  EnsureParsed();
  return fieldNames;
}

const std::vector<std::string>& MailHeader::FieldValues() {
  EnsureParsed();
  return fieldValues;
}

void MailHeader::ParseFields() {
  fieldNames.clear();
  fieldValues.clear();
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  const char* line = begin;
  const char* headerEnd = end;

  while (line < end) {
    // The name runs to the colon; a line end before it (an empty line, or a line that is no field)
    // ends the header at the start of this line.
    const char* colon = line;
    while (colon < end && *colon != ':' && *colon != '\r' && *colon != '\n') ++colon;
    if (colon == end) break;
    if (*colon != ':') {
      headerEnd = line;
      break;
    }

    // The value ends at the first CR LF not followed by a blank (a blank continues a folded field).
    const char* valueBegin = colon + 1;
    const char* cursor = valueBegin;
    const char* valueEnd = nullptr;
    while (true) {
      const void* cr = std::memchr(cursor, '\r', static_cast<std::size_t>(end - cursor));
      if (cr == nullptr) break;
      const char* p = static_cast<const char*>(cr);
      if (p + 1 < end && p[1] == '\n') {
        if (p + 2 < end && (p[2] == ' ' || p[2] == '\t')) {
          cursor = p + 2;
          continue;
        }
        valueEnd = p;
        break;
      }
      cursor = p + 1;
    }
    // A field cut off by the end of the text is not a field.
    if (valueEnd == nullptr) break;

    fieldNames.emplace_back(line, colon);
    fieldValues.emplace_back(Trim(std::string_view(valueBegin, valueEnd - valueBegin)));

    line = valueEnd + 2;
    if (end - line >= 2 && line[0] == '\r' && line[1] == '\n') {
      headerEnd = line + 2;
      break;
    }
  }
  headerLength = static_cast<std::uint32_t>(headerEnd - begin);
  parsed = true;
}

int MailHeader::GetField(std::string_view name, std::string& value) {
  if (!EnsureParsed()) return 0;
  value.clear();
  const std::string wanted = LowerAscii932(name);
  for (std::size_t i = 0; i < fieldNames.size(); ++i) {
    const std::string& stored = fieldNames[i];
    if (stored.size() == wanted.size() && LowerAscii932(stored) == wanted) {
      value = fieldValues[i];
      return 1;
    }
  }
  return 0;
}

}  // namespace qm
