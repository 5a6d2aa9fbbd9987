#include "pop3server/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3server/command_line.h"

namespace qm {
namespace {

// Lines as "text" or "!" for one cut off as too long, from `all` fed `chunk` bytes at a time.
std::vector<std::string> Split(const std::string& all, std::size_t chunk, CLineSplitter& splitter) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < all.size(); at += chunk) {
    splitter.Feed(std::string_view(all).substr(at, chunk),
                  [&](std::string_view line, bool tooLong) {
                    lines.push_back(tooLong ? "!" : std::string(line));
                  });
  }
  return lines;
}

TEST(LineSplitterTest, LinesEndAtCrLfOnlyWhereverTheSegmentsBreak) {
  using Lines = std::vector<std::string>;
  const std::string longest(CLineSplitter::kMaxLine, 'x');
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1 << 20}}) {
    SCOPED_TRACE(chunk);
    CLineSplitter splitter;
    EXPECT_EQ(
        Split("USER a\r\n\r\nA\nB\rC\r\r\n" + longest + "\r\n" + longest + "y\r\nNOOP\r\nno end",
              chunk, splitter),
        (Lines{"USER a", "", "A\nB\rC\r", longest, "!", "NOOP"}));
  }
  // Megabytes without a line end cost bounded memory.
  CLineSplitter splitter;
  EXPECT_EQ(Split(std::string(4 << 20, 'z'), 65536, splitter), Lines{});
  EXPECT_LE(splitter.Pending(), CLineSplitter::kMaxLine + 1);
}

TEST(CommandLineTest, TokensSplitAtBlanksAndOnlyTheCommandIsUpperCased) {
  using Tokens = std::vector<std::string>;
  EXPECT_EQ(TokenizeCommand("user Taro"), (Tokens{"USER", "Taro"}));
  EXPECT_EQ(TokenizeCommand("TOP 1  \t 10"), (Tokens{"TOP", "1", "10"}));
  EXPECT_EQ(TokenizeCommand("list "), (Tokens{"LIST"}));
  // A tab does not end a token; it is skipped only after a blank.
  EXPECT_EQ(TokenizeCommand("USER\tx"), (Tokens{"USER\tX"}));
  EXPECT_EQ(TokenizeCommand(" stat"), (Tokens{"", "stat"}));
  EXPECT_EQ(TokenizeCommand(std::string_view("RETR 1\0junk", 11)), (Tokens{"RETR", "1"}));
  EXPECT_EQ(TokenizeCommand(""), Tokens{});
  // Numbers read as the C library reads them.
  for (auto [text, number] : {std::pair{"12", 12},
                              {"3abc", 3},
                              {"abc", 0},
                              {"-2", -2},
                              {"99999999999999999999", 2147483647}}) {
    EXPECT_EQ(CommandNumber(text), number) << text;
  }
}

}  // namespace
}  // namespace qm
