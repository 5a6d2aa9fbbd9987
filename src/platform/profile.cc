#include "platform/profile.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/file_io.h"

namespace qm {

namespace {

enum class LineKind { Blank, Comment, Section, Key, Other };

struct Line {
  std::size_t begin = 0;  // first byte of the line
  std::size_t end = 0;    // end of its content, before CR LF or LF
  std::size_t next = 0;   // first byte of the following line
  LineKind kind = LineKind::Other;
  std::string_view name;   // section or key name, without blanks
  std::string_view value;  // raw text after "=" of a key
  std::size_t nameBegin = 0;
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

void Classify(std::string_view text, Line& line) {
  std::size_t start = line.begin;
  // Editors on Windows like to put a UTF-8 byte order mark in front of the first section.
  if (start == 0 && text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  while (start < line.end && IsBlank(text[start])) ++start;
  const std::string_view content = text.substr(start, line.end - start);
  if (content.empty()) {
    line.kind = LineKind::Blank;
  } else if (content.front() == ';') {
    line.kind = LineKind::Comment;
  } else if (content.front() == '[') {
    const std::size_t close = content.rfind(']');
    if (close == std::string_view::npos) return;
    line.kind = LineKind::Section;
    line.name = Trim(content.substr(1, close - 1));
  } else if (const std::size_t equals = content.find('='); equals != std::string_view::npos) {
    line.kind = LineKind::Key;
    line.nameBegin = start;
    line.name = Trim(content.substr(0, equals));
    line.value = content.substr(equals + 1);
  }
}

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) {
      line.end = line.next = text.size();
    } else {
      line.end = lf > pos && text[lf - 1] == '\r' ? lf - 1 : lf;
      line.next = lf + 1;
    }
    Classify(text, line);
    lines.push_back(line);
    pos = line.next;
  }
  return lines;
}

// Where one key of one section lies in the file. Only the first section of the name counts.
struct Located {
  std::vector<Line> lines;
  std::size_t section = SIZE_MAX;      // index of its header line
  std::size_t lastContent = SIZE_MAX;  // last line of the section that is not blank or comment
  std::vector<std::size_t> keys;       // every line of the key in the section, first one first
};

Located Locate(std::string_view text, std::string_view section, std::string_view key) {
  Located found;
  found.lines = SplitLines(text);
  for (std::size_t i = 0; i < found.lines.size(); ++i) {
    const Line& line = found.lines[i];
    if (line.kind == LineKind::Section) {
      if (found.section != SIZE_MAX) break;
      if (SameName(line.name, section)) found.section = found.lastContent = i;
      continue;
    }
    if (found.section == SIZE_MAX) continue;
    if (line.kind == LineKind::Key || line.kind == LineKind::Other) found.lastContent = i;
    if (line.kind == LineKind::Key && SameName(line.name, key)) found.keys.push_back(i);
  }
  return found;
}

// A file that does not exist yet is empty; one that exists but cannot be read is an error.
bool Load(const std::string& path, std::string& text) {
  int error = 0;
  if (ReadFileContent(path, text, &error)) return true;
  text.clear();
  return error == ENOENT;
}

bool FindValue(const std::string& path, std::string_view section, std::string_view key,
               std::string& value) {
  std::string text;
  if (!Load(path, text)) return false;
  const Located found = Locate(text, section, key);
  if (found.keys.empty()) return false;
  std::string_view v = Trim(found.lines[found.keys.front()].value);
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    v = v.substr(1, v.size() - 2);
  }
  value.assign(v);
  return true;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlanks(std::string_view name) {
  return !name.empty() && (IsBlank(name.front()) || IsBlank(name.back()));
}

bool IsWritableSection(std::string_view section) {
  return !HasLineBreak(section) && !HasOuterBlanks(section) &&
         section.find(']') == std::string_view::npos;
}

bool IsWritableKey(std::string_view key) {
  return !key.empty() && !HasLineBreak(key) && !HasOuterBlanks(key) &&
         key.find('=') == std::string_view::npos && key.front() != '[' && key.front() != ';';
}

// New lines follow the file's own convention; a file without one gets Windows line ends.
std::string_view LineEndOf(std::string_view text) {
  const std::size_t lf = text.find('\n');
  if (lf != std::string_view::npos && (lf == 0 || text[lf - 1] != '\r')) return "\n";
  return "\r\n";
}

}  // namespace

int CProfile::GetInt(std::string_view section, std::string_view key, int defaultValue) const {
  std::string value;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!FindValue(path_, section, key, value)) return defaultValue;
  }
  if (value.empty()) return defaultValue;
  std::size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  std::uint32_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = number * 10u + static_cast<std::uint32_t>(value[i] - '0');
  }
  if (negative) number = 0u - number;
  return static_cast<int>(number);
}

std::string CProfile::GetString(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
  std::string value;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!FindValue(path_, section, key, value)) return std::string(defaultValue);
  return value;
}

bool CProfile::WriteString(std::string_view section, std::string_view key, const char* value) {
  return Update(section, key, value);
}

bool CProfile::WriteInt(std::string_view section, std::string_view key, int value) {
  return Update(section, key, std::to_string(value).c_str());
}

bool CProfile::RemoveKey(std::string_view section, std::string_view key) {
  return Update(section, key, nullptr);
}

bool CProfile::Update(std::string_view section, std::string_view key, const char* value) {
  if (!IsWritableSection(section) || !IsWritableKey(key)) return false;
  if (value != nullptr && HasLineBreak(value)) return false;

  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  if (!Load(path_, text)) return false;
  const std::string original = text;
  const Located found = Locate(text, section, key);
  const std::string_view eol = LineEndOf(original);

  if (value == nullptr) {
    // Later copies of the key would come to light once the first is gone: remove them all.
    for (auto it = found.keys.rbegin(); it != found.keys.rend(); ++it) {
      const Line& line = found.lines[*it];
      text.erase(line.begin, line.next - line.begin);
    }
  } else if (!found.keys.empty()) {
    const Line& line = found.lines[found.keys.front()];
    const std::size_t nameEnd = line.nameBegin + line.name.size();
    text.replace(nameEnd, line.end - nameEnd, std::string("=") + value);
  } else if (found.section != SIZE_MAX) {
    const Line& after = found.lines[found.lastContent];
    const std::string entry = std::string(key) + "=" + value;
    if (after.next == after.end) {
      text.insert(after.end, std::string(eol) + entry);
    } else {
      text.insert(after.next, entry + std::string(eol));
    }
  } else {
    if (!text.empty() && text.back() != '\n') text += eol;
    text += "[";
    text += section;
    text += "]";
    text += eol;
    text += key;
    text += "=";
    text += value;
    text += eol;
  }

  if (text == original) return true;
  return ReplaceFileContent(path_, text);
}

}  // namespace qm
