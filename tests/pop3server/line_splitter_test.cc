#include "pop3server/line_splitter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

struct Line {
  std::string text;
  bool tooLong;
  friend bool operator==(const Line&, const Line&) = default;
};

std::vector<Line> Split(const std::vector<std::string>& segments) {
  CLineSplitter splitter;
  std::vector<Line> lines;
  for (const std::string& segment : segments) {
    splitter.Feed(segment, [&](std::string_view line, bool tooLong) {
      lines.push_back({std::string(line), tooLong});
    });
  }
  return lines;
}

std::vector<std::string> Bytes(const std::string& all) {
  std::vector<std::string> bytes;
  for (char c : all) bytes.emplace_back(1, c);
  return bytes;
}

TEST(LineSplitterTest, LinesEndAtCrLfWhereverTheSegmentsBreak) {
  const std::vector<Line> expected = {{"USER a", false}, {"", false}, {"PASS b", false}};
  EXPECT_EQ(Split({"USER a\r\n\r\nPASS b\r\n"}), expected);
  EXPECT_EQ(Split({"USER a\r", "\n\r\nPASS", " b\r\n"}), expected);
  EXPECT_EQ(Split(Bytes("USER a\r\n\r\nPASS b\r\n")), expected);
}

TEST(LineSplitterTest, BareCrAndLfAreOrdinaryBytes) {
  EXPECT_EQ(Split({"A\nB\rC\r\r\n"}), (std::vector<Line>{{"A\nB\rC\r", false}}));
  EXPECT_EQ(Split({"no end"}), std::vector<Line>{});
}

TEST(LineSplitterTest, OverlongLinesAreCutAndFlagged) {
  const std::string longest(CLineSplitter::kMaxLine, 'x');
  EXPECT_EQ(Split({longest + "\r\n"}), (std::vector<Line>{{longest, false}}));
  const auto over = Split(Bytes(longest + "y\r\nNOOP\r\n"));
  ASSERT_EQ(over.size(), 2u);
  EXPECT_TRUE(over[0].tooLong);
  EXPECT_EQ(over[1], (Line{"NOOP", false}));
}

TEST(LineSplitterTest, MegabytesWithoutALineEndCostBoundedMemory) {
  CLineSplitter splitter;
  const std::string chunk(64 * 1024, 'z');
  int lines = 0;
  for (int i = 0; i < 64; ++i) splitter.Feed(chunk, [&](std::string_view, bool) { ++lines; });
  EXPECT_EQ(lines, 0);
  EXPECT_LE(splitter.Pending(), CLineSplitter::kMaxLine + 1);
}

}  // namespace
}  // namespace qm
