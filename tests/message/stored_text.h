// Builds message texts in the stored form for tests: lines joined with CR LF, then the "." line.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qm::test {

inline std::string Stored(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (std::string_view line : lines) {
    text.append(line);
    text.append("\r\n");
  }
  text.append(".\r\n");
  return text;
}

}  // namespace qm::test
