// What the mail client setting names, made into a program and its arguments. Linux users name a
// command ("thunderbird"), a command with arguments, or a desktop entry; a path to an existing
// file is kept whole (it may hold blanks) and opened as before.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct ProgramCall {
  std::string program;  // a path, or a name for the caller to look up in PATH
  std::vector<std::string> arguments;
  friend bool operator==(const ProgramCall&, const ProgramCall&) = default;
};

// Splits a command line as a shell would split words: blanks separate them, single quotes keep
// everything, double quotes keep everything but a backslash before ", \, $ or `; a backslash
// outside quotes keeps the next character. No words, or an unclosed quote: nothing.
std::optional<ProgramCall> SplitCommandLine(std::string_view line);

// The program a desktop entry starts: the Exec key of its [Desktop Entry] group, split as above,
// its field codes (%f, %U, %i, ...) dropped and "%%" made "%". Nothing when there is no such key.
std::optional<ProgramCall> DesktopEntryCall(std::string_view entryText);

}  // namespace qm
