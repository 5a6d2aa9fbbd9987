// Command lines split as a shell splits words, and real programs run for their first line.
#include "platform/secret_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace qm {
namespace {

using namespace std::chrono_literals;
using Words = std::vector<std::string>;

TEST(SecretCommandTest, WordsAsAShellSplitsThemAndNothingAShellWouldExpand) {
  const std::pair<const char*, Words> kCases[] = {
      {"secret-tool lookup service pop", {"secret-tool", "lookup", "service", "pop"}},
      {"  a\t b\n", {"a", "b"}},
      {R"(a 'x "y" \z' "p \"q\" \\ \n" b\ c '')", {"a", R"(x "y" \z)", R"(p "q" \ \n)", "b c", ""}},
      {"a\\\nb 'x'y\"z\"", {"ab", "xyz"}},
      {"a '|&;<>()$`' \"~#|\" x#y b\\$", {"a", "|&;<>()$`", "~#|", "x#y", "b$"}}};
  for (const auto& [line, expected] : kCases) {
    Words words;
    std::string problem;
    EXPECT_TRUE(SplitCommandLine(line, words, problem)) << problem;
    EXPECT_EQ(words, expected);
  }
  for (const char* line : {"", "   ", "a 'b", "a \"b", "a\\", "pass x | head -1", "a;b", "a $HOME",
                           "a \"$HOME\"", "a `b`", "a > f", "a &", "~/bin/token", "a # comment"}) {
    Words words;
    std::string problem;
    EXPECT_FALSE(SplitCommandLine(line, words, problem)) << line;
    EXPECT_FALSE(problem.empty()) << line;
  }
}

TEST(SecretCommandTest, FirstLineOfStandardOutput) {
  const struct {
    const char *line, *secret, *problem;
  } kCases[] = {
      {"/bin/echo -e 'tok en\\r\\nsecond'", "tok en", ""},
      {"printf '%s\\n' ' spaced ' x", " spaced ", ""},
      {"cat", "", "printed nothing"},  // standard input is empty, not the program's
      {"/bin/false", "", "exited with status 1"},
      {"no-such-program-qm", "", "could not be started ( No such file or directory )"},
      {"a 'b", "", "cannot be run: its command line has a single quote that is not closed"}};
  for (const auto& c : kCases) {
    const SecretCommandResult result = RunSecretCommand(c.line, 10s);
    EXPECT_EQ(result.ok, *c.problem == '\0') << c.line;
    EXPECT_EQ(result.secret, c.secret);
    EXPECT_EQ(result.problem, c.problem);
  }
  const SecretCommandResult noisy =
      RunSecretCommand("/usr/bin/head -c 100000 /dev/zero /qm-none", 10s);
  EXPECT_LE(noisy.errorOutput.size(), kMaxErrorBytes);
  EXPECT_NE(noisy.errorOutput.find("qm-none"), std::string::npos);
}

}  // namespace
}  // namespace qm
