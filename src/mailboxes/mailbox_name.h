// Mailbox names and the settings value that lists them in order.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm {

// What the name loses at both ends before it is used: spaces, tabs and line ends.
std::string TrimBlanks(std::string_view text);

enum class MailboxNameProblem {
  None,
  Empty,
  // One of kForbiddenNameCharacters.
  ForbiddenCharacter,
  // A control character, which no settings file line could hold.
  ControlCharacter,
};

// A name is the stem of file names in the working directory, so it may hold no path separator;
// the characters Windows refuses in file names are refused everywhere, so that a working
// directory moves between the systems, and ":" separates the names in the settings value.
// Bytes are tested one by one; in UTF-8 no byte of a longer character is one of these.
inline constexpr std::string_view kForbiddenNameCharacters = "\"*/:<>?\\|";

// Checks a name that has been trimmed already.
MailboxNameProblem CheckMailboxName(std::string_view name);

// The names of a settings value "a:b:", in order; the first empty piece ends the list, so
// "a::b" gives only a.
std::vector<std::string> SplitMailboxList(std::string_view value);
// Each name followed by ":".
std::string JoinMailboxList(const std::vector<std::string>& names);

}  // namespace qm
