#include "ui/model/program_call.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

struct SplitCase {
  const char* line;
  std::optional<ProgramCall> call;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, SplitsAsAShellSplitsWords) {
  EXPECT_EQ(SplitCommandLine(GetParam().line), GetParam().call);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitCommandLineTest,
    ::testing::Values(SplitCase{"  mutt\t-f  =inbox ", ProgramCall{"mutt", {"-f", "=inbox"}}},
                      SplitCase{"a'b c'd \"e \\\"f\\\\ \\g\" h\\ i ''",
                                ProgramCall{"ab cd", {"e \"f\\ \\g", "h i", ""}}},
                      // A backslash that ends the line stands for itself.
                      SplitCase{"mail x\\", ProgramCall{"mail", {"x\\"}}},
                      SplitCase{"", std::nullopt}, SplitCase{" \t", std::nullopt},
                      SplitCase{"mail 'open", std::nullopt},
                      SplitCase{"mail \"open\\\"", std::nullopt}));

struct EntryCase {
  const char* text;
  std::optional<ProgramCall> call;
};

class DesktopEntryCallTest : public ::testing::TestWithParam<EntryCase> {};

TEST_P(DesktopEntryCallTest, TakesTheExecLineWithoutFieldCodes) {
  EXPECT_EQ(DesktopEntryCall(GetParam().text), GetParam().call);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, DesktopEntryCallTest,
    ::testing::Values(
        EntryCase{"[Desktop Entry]\r\nExec=thunderbird %u\r\n", ProgramCall{"thunderbird", {}}},
        EntryCase{"[Desktop Entry]\nTryExec=x\nExecX=y\nExec=m --rate=100%% -f%f %i %c\n",
                  ProgramCall{"m", {"--rate=100%", "-f"}}},
        EntryCase{"[Other]\nExec=no\n", std::nullopt},
        EntryCase{"[Desktop Entry]\nExec=%U\n", std::nullopt},
        EntryCase{"[Desktop Entry]\nExec=\"open\n", std::nullopt}));

}  // namespace
}  // namespace qm
