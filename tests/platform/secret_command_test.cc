// Command lines split as a shell splits words, and real programs run for their first line.
#include "platform/secret_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace qm {
namespace {

using namespace std::chrono_literals;

struct SplitCase {
  const char* line;
  std::vector<std::string> words;  // empty: refused
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, WordsAsAShellSplitsThem) {
  std::vector<std::string> words;
  std::string problem;
  const bool split = SplitCommandLine(GetParam().line, words, problem);
  EXPECT_EQ(split, !GetParam().words.empty()) << problem;
  if (split) {
    EXPECT_EQ(words, GetParam().words);
  } else {
    EXPECT_FALSE(problem.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitTest,
    ::testing::Values(
        SplitCase{"secret-tool lookup service pop", {"secret-tool", "lookup", "service", "pop"}},
        SplitCase{"  a\t b\n", {"a", "b"}},
        SplitCase{"oama access 'me@outlook.com'", {"oama", "access", "me@outlook.com"}},
        SplitCase{R"(a 'x "y" \z' "p \"q\" \\ \n" b\ c '')",
                  {"a", R"(x "y" \z)", R"(p "q" \ \n)", "b c", ""}},
        SplitCase{"a\\\nb 'x'y\"z\"", {"ab", "xyz"}},
        SplitCase{"a '|&;<>()$`' \"~#|\" x#y b\\$", {"a", "|&;<>()$`", "~#|", "x#y", "b$"}},
        SplitCase{"", {}}, SplitCase{"   ", {}}, SplitCase{"a 'b", {}}, SplitCase{"a \"b", {}},
        SplitCase{"a\\", {}}, SplitCase{"pass x | head -1", {}}, SplitCase{"a;b", {}},
        SplitCase{"a $HOME", {}}, SplitCase{"a \"$HOME\"", {}}, SplitCase{"a `b`", {}},
        SplitCase{"a > f", {}}, SplitCase{"a &", {}}, SplitCase{"~/bin/token", {}},
        SplitCase{"a # comment", {}}));

struct RunCase {
  const char* line;
  bool ok;
  const char* secret;
  const char* problem;
  const char* errorOutput;
};

class RunTest : public ::testing::TestWithParam<RunCase> {};

TEST_P(RunTest, FirstLineOfStandardOutput) {
  const SecretCommandResult result = RunSecretCommand(GetParam().line, 10s);
  EXPECT_EQ(result.ok, GetParam().ok);
  EXPECT_EQ(result.secret, GetParam().secret);
  EXPECT_EQ(result.problem, GetParam().problem);
  EXPECT_EQ(result.errorOutput, GetParam().errorOutput);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, RunTest,
    ::testing::Values(
        RunCase{"/bin/echo -e 'tok en\\r\\nsecond'", true, "tok en", "", ""},
        RunCase{"printf '%s\\n' ' spaced ' x", true, " spaced ", "", ""},
        // Standard input is empty, not the program's.
        RunCase{"cat", false, "", "printed nothing", ""},
        RunCase{"/bin/false", false, "", "exited with status 1", ""},
        RunCase{"/bin/ls /nonexistent-qm", false, "", "exited with status 2",
                "/bin/ls: cannot access '/nonexistent-qm': No such file or directory"},
        RunCase{"no-such-program-qm", false, "",
                "could not be started ( No such file or directory )", ""},
        RunCase{"a 'b", false, "",
                "cannot be run: its command line has a single quote that is not closed", ""}));

TEST(SecretCommand, ErrorOutputIsBounded) {
  const SecretCommandResult result =
      RunSecretCommand("/usr/bin/head -c 100000 /dev/zero /nonexistent-qm", 10s);
  EXPECT_FALSE(result.ok);
  EXPECT_LE(result.errorOutput.size(), kMaxErrorBytes);
  EXPECT_NE(result.errorOutput.find("nonexistent-qm"), std::string::npos);
}

}  // namespace
}  // namespace qm
