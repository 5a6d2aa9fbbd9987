#include "pop3server/command_line.h"

#include <climits>

namespace qm {

std::vector<std::string> TokenizeCommand(std::string_view line) {
  line = line.substr(0, line.find('\0'));
  std::vector<std::string> tokens;
  while (!line.empty()) {
    const std::size_t blank = line.find(' ');
    tokens.emplace_back(line.substr(0, blank));
    line.remove_prefix(blank == std::string_view::npos ? line.size() : blank);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  }
  if (!tokens.empty()) {
    for (char& c : tokens.front()) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return tokens;
}

int CommandNumber(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && (token[i] == ' ' || token[i] == '\t')) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  long long value = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    // Saturate instead of overflowing: no message number is that large anyway.
    value = value * 10 + (token[i] - '0');
    if (value > INT_MAX) value = INT_MAX;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace qm
