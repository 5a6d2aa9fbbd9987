#include "ui/model/program_call.h"

namespace qm {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Field codes stand for files, URLs, the icon or the entry's name, none of which a mail client
// started from the list is given.
std::string WithoutFieldCodes(std::string_view word, bool& whole) {
  std::string out;
  whole = false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (word[i] == '%' && i + 1 < word.size()) {
      if (word[i + 1] == '%') out.push_back('%');
      whole = word.size() == 2 && word[1] != '%';
      ++i;
      continue;
    }
    out.push_back(word[i]);
  }
  return out;
}

}  // namespace

std::optional<ProgramCall> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    inWord = true;
    if (c == '\'') {
      const std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= line.size()) return std::nullopt;
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() &&
            std::string_view("\"\\$`").find(line[i + 1]) != std::string_view::npos) {
          ++i;
        }
        word.push_back(line[i]);
      }
    } else if (c == '\\' && i + 1 < line.size()) {
      word.push_back(line[++i]);
    } else {
      word.push_back(c);
    }
  }
  if (inWord) words.push_back(std::move(word));
  if (words.empty()) return std::nullopt;
  ProgramCall call{words.front(), {words.begin() + 1, words.end()}};
  return call;
}

std::optional<ProgramCall> DesktopEntryCall(std::string_view entryText) {
  bool inEntry = false;
  std::size_t at = 0;
  while (at < entryText.size()) {
    std::size_t end = entryText.find('\n', at);
    if (end == std::string_view::npos) end = entryText.size();
    std::string_view line = entryText.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.front() == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || line.substr(0, 4) != "Exec") continue;
    std::string_view rest = line.substr(4);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '=') continue;
    std::optional<ProgramCall> split = SplitCommandLine(rest.substr(1));
    if (!split) return std::nullopt;
    bool whole = false;
    ProgramCall call{WithoutFieldCodes(split->program, whole), {}};
    for (const std::string& argument : split->arguments) {
      std::string kept = WithoutFieldCodes(argument, whole);
      if (!whole) call.arguments.push_back(std::move(kept));
    }
    if (call.program.empty()) return std::nullopt;
    return call;
  }
  return std::nullopt;
}

}  // namespace qm
