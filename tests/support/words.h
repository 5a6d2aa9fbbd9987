// Tables with many short words keep them in one string, split at single spaces.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace qm::test {

inline std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(' ', at), text.size());
    words.emplace_back(text.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

}  // namespace qm::test
