#include "message/stored_form.h"

namespace qm {

std::string ToStoredForm(std::string_view file) {
  std::string out;
  out.reserve(file.size() + file.size() / 32 + 8);
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t lineEnd = file.find('\n', pos);
    const std::size_t next = lineEnd == std::string_view::npos ? file.size() : lineEnd + 1;
    if (lineEnd == std::string_view::npos) lineEnd = file.size();
    std::string_view line = file.substr(pos, lineEnd - pos);
    if (!line.empty() && line.back() == '\r' && lineEnd < file.size()) line.remove_suffix(1);
    if (!line.empty() && line.front() == '.') out.push_back('.');
    const std::size_t start = out.size();
    out.append(line);
    for (std::size_t i = start; i < out.size(); ++i) {
      if (out[i] == '\0') out[i] = ' ';
    }
    out.append("\r\n");
    pos = next;
  }
  out.append(".\r\n");
  return out;
}

}  // namespace qm
