// A POP3 command line split into its tokens: the command (upper-cased) and its arguments (case
// kept).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Takes the text up to the first blank as a token, then skips blanks and tabs, until nothing is
// left. A line that starts with a blank therefore has an empty command. The line ends at a NUL.
std::vector<std::string> TokenizeCommand(std::string_view line);

// Leading decimal digits as a number, 0 when there are none, as clients' numbers have always been
// read.
int CommandNumber(std::string_view token);

}  // namespace qm
