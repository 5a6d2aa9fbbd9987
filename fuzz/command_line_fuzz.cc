// Splits arbitrary bytes as a token or password command line. Besides the sanitizers' findings it
// stops when the splitter breaks what it promises: the words it gives, each put back in single
// quotes, split into the same words again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/secret_command.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  std::string problem;
  if (!qm::SplitCommandLine(line, words, problem)) {
    if (problem.empty()) std::abort();
    return 0;
  }
  std::string quoted;
  for (const std::string& word : words) {
    quoted += " '";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += '\'';
  }
  std::vector<std::string> again;
  if (!qm::SplitCommandLine(quoted, again, problem) || again != words) {
    std::fprintf(stderr, "command_line_fuzz: quoted words split differently\n");
    std::abort();
  }
  return 0;
}
