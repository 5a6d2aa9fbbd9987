// Patterns as this program writes them ("/body/flags"): the flags it reads, the line end it sets,
// bytes not taken as UTF-8, and the handle it keeps; the expression language itself is the
// library's.
#include "platform/pattern.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace qm {
namespace {

int Match(std::string_view pattern, std::string_view subject, BRegexp& handle) {
  return BMatch(pattern, subject.data(), subject.data() + subject.size(), handle);
}

TEST(PatternTest, FlagsLineEndsAndBytes) {
  const struct {
    const char *pattern, *subject;
    int expected;
    const char* group1;
  } kCases[] = {{"/(ab)/i", "xAB", 1, "AB"},
                {"/^(b)/m", "a\nb", 1, "b"},
                {"/^(b)/", "a\nb", 0, ""},
                {"/a(.)b/s", "a\nb", 1, "\n"},
                {"/a(.*)b/", "a\nb", 0, ""},
                {"/a(.*)b/", "a\rb", 1, "\r"},
                {"/(a b)/x", "ab", 1, "ab"},
                {"/\\A(x)\\Z/", "x\n", 1, "x"},
                {"/(\\x82\\xA0)/", "\x82\xA0", 1, "\x82\xA0"}};
  for (const auto& c : kCases) {
    BRegexp handle;
    ASSERT_EQ(Match(c.pattern, c.subject, handle), c.expected) << c.pattern;
    EXPECT_EQ(handle.Group(1), c.expected ? c.group1 : "") << c.pattern;
  }
  for (const char* bad : {"a+", "/a+", "", "/(a/", "/a/q"}) {
    BRegexp handle;
    std::string error;
    EXPECT_EQ(BMatch(bad, bad, bad, handle, &error), -1) << bad;
    EXPECT_FALSE(error.empty() || handle.IsCompiled()) << bad;
  }
}

// Groups are numbered by opening parenthesis; positions point into the subject itself, a byte
// range that may hold NULs, so that a scan can go on from the end of the match.
TEST(PatternTest, GroupsPointIntoTheSubject) {
  BRegexp handle;
  const std::string subject("k\0 alpha=beta;", 14);
  ASSERT_EQ(Match("/((\\w+)=(\\w+))/", subject, handle), 1);
  EXPECT_EQ(handle.GroupCount(), 3);
  EXPECT_EQ(std::vector<std::string_view>(
                {handle.Group(0), handle.Group(1), handle.Group(2), handle.Group(3)}),
            (std::vector<std::string_view>{"alpha=beta", "alpha=beta", "alpha", "beta"}));
  EXPECT_EQ(handle.startp[3], subject.data() + 9);
  EXPECT_EQ(handle.endp[2], subject.data() + 8);
  EXPECT_EQ(BMatch("/;/", subject.data(), subject.data() + 13, handle), 0);
  ASSERT_EQ(Match("/x(y)?z/", "xz", handle), 1);
  EXPECT_EQ(handle.startp[1], nullptr);
  EXPECT_TRUE(handle.Group(1).empty() && handle.Group(7).empty());
  EXPECT_EQ(BMatch("/^$/", nullptr, nullptr, handle), 1);
}

// The handle is reused for the same text and replaced for another; a failed compile keeps it.
TEST(PatternTest, HandleKeepsOnePattern) {
  BRegexp handle;
  ASSERT_EQ(Match("/a+/", "baaa", handle), 1);
  const BRegexp copy = handle;
  ASSERT_EQ(Match("/(b)/", "abc", handle), 1);
  EXPECT_EQ(handle.PatternText() + copy.PatternText(), "/(b)//a+/");
  EXPECT_EQ(Match("/(/", "a", handle), -1);
  EXPECT_EQ(handle.PatternText(), "/(b)/");
  BRegfree(handle);
  EXPECT_FALSE(handle.IsCompiled());
}

}  // namespace
}  // namespace qm
