// A secret fetched from a program instead of the settings file: the user names a command (a
// password manager's look-up, an OAuth 2.0 helper that prints a fresh access token) and the first
// line it prints is the secret. No shell is involved: the command line is split into words as a
// shell splits them (blanks, single and double quotes, backslashes), and the characters that
// would ask a shell for more than that are refused.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// The words of `line`. False with `problem` in words for the user when a quote is not closed,
// the line has no word, or an unquoted | & ; < > ( ) $ ` asks for a shell.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& problem);

struct SecretCommandResult {
  // True when the command ended with status 0 and its first line was not empty.
  bool ok = false;
  // The first line of standard output, without its line end.
  std::string secret;
  // Why there is no secret, in words for the log ("exited with status 1", ...).
  std::string problem;
  // The start of its standard error, at most kMaxErrorBytes, blanks around it removed.
  std::string errorOutput;
};

inline constexpr std::size_t kMaxErrorBytes = 1000;

// Runs the command named by `line` (looked up in PATH) with standard input from /dev/null and no
// other descriptor of this process, in a process group of its own, and waits at most `timeout`
// for it to end (or until `*cancel` turns true); a command still running then is killed with its
// group. Output beyond the first 64 KiB is read and dropped.
SecretCommandResult RunSecretCommand(std::string_view line, std::chrono::milliseconds timeout,
                                     const std::atomic<bool>* cancel = nullptr);

}  // namespace qm
