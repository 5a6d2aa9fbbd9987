#include "platform/pattern.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

int Match(std::string_view pattern, std::string_view subject, BRegexp& handle) {
  return BMatch(pattern, subject.data(), subject.data() + subject.size(), handle);
}

TEST(PatternTest, GroupsAreNumberedByOpeningParenthesis) {
  BRegexp handle;
  const std::string subject = "key: alpha=beta;";
  ASSERT_EQ(Match("/((\\w+)=(\\w+))/", subject, handle), 1);
  EXPECT_EQ(handle.GroupCount(), 3);
  EXPECT_EQ(handle.Group(0), "alpha=beta");
  EXPECT_EQ(handle.Group(1), "alpha=beta");
  EXPECT_EQ(handle.Group(2), "alpha");
  EXPECT_EQ(handle.Group(3), "beta");
  // Positions point into the subject itself, so a scan can go on from the end of the match.
  EXPECT_EQ(handle.startp[2], subject.data() + 5);
  EXPECT_EQ(handle.endp[0], subject.data() + 15);
}

TEST(PatternTest, NoMatchAndGroupThatDidNotTakePart) {
  BRegexp handle;
  EXPECT_EQ(Match("/x(y)?z/", "abc", handle), 0);
  ASSERT_EQ(Match("/x(y)?z/", "xz", handle), 1);
  EXPECT_EQ(handle.startp[1], nullptr);
  EXPECT_EQ(handle.Group(1), "");
  EXPECT_EQ(handle.Group(7), "");
}

TEST(PatternTest, HandleIsReusedForTheSameTextAndReplacedForAnother) {
  BRegexp handle;
  EXPECT_FALSE(handle.IsCompiled());
  ASSERT_EQ(Match("/a+/", "baaa", handle), 1);
  const BRegexp firstCopy = handle;
  ASSERT_EQ(Match("/a+/", "caa", handle), 1);
  EXPECT_EQ(handle.PatternText(), "/a+/");
  ASSERT_EQ(Match("/(b)/", "abc", handle), 1);
  EXPECT_EQ(handle.PatternText(), "/(b)/");
  EXPECT_EQ(handle.Group(1), "b");
  // A copy keeps its own pattern and its own positions.
  EXPECT_EQ(firstCopy.PatternText(), "/a+/");
  BRegfree(handle);
  EXPECT_FALSE(handle.IsCompiled());
  EXPECT_EQ(Match("/a/", "a", handle), 1);
}

TEST(PatternTest, SubjectIsAByteRangeNotACString) {
  BRegexp handle;
  const std::string subject("ab\0cd", 5);
  ASSERT_EQ(Match("/c(d)/", subject, handle), 1);
  EXPECT_EQ(handle.startp[0] - subject.data(), 3);
  // Only the given range is searched.
  EXPECT_EQ(BMatch("/d/", subject.data(), subject.data() + 4, handle), 0);
  EXPECT_EQ(BMatch("/^$/", nullptr, nullptr, handle), 1);
}

struct PerlCase {
  const char* pattern;
  const char* subject;
  int expected;
  const char* group1;
};

class PerlSyntaxTest : public ::testing::TestWithParam<PerlCase> {};

TEST_P(PerlSyntaxTest, MatchesAsPerlWould) {
  const PerlCase& c = GetParam();
  BRegexp handle;
  ASSERT_EQ(Match(c.pattern, c.subject, handle), c.expected) << c.pattern << " on " << c.subject;
  if (c.expected == 1 && c.group1 != nullptr) {
    EXPECT_EQ(handle.Group(1), c.group1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, PerlSyntaxTest,
    ::testing::Values(
        PerlCase{"/https?:\\/\\/([-_.a-z]+)/", "see http://a-b.c_d/x", 1, "a-b.c_d"},
        PerlCase{"/\\A(.*)@(.*)\\Z/", "a@b@c", 1, "a@b"},
        // \Z allows one final newline, as in Perl; \A anchors at the start only.
        PerlCase{"/\\A(x)\\Z/", "x\n", 1, "x"}, PerlCase{"/\\A(x)\\Z/", "x\n\n", 0, nullptr},
        PerlCase{"/\\A(x)/", "yx", 0, nullptr}, PerlCase{"/(x)$/", "ax\n", 1, "x"},
        // A dot stops at LF only; CR is an ordinary character.
        PerlCase{"/a(.*)b/", "a\rb", 1, "\r"}, PerlCase{"/a(.*)b/", "a\nb", 0, nullptr},
        PerlCase{"/(\\d{1,2})\\s+(Jan|Feb)/", "on 03\t Feb", 1, "03"},
        PerlCase{"/(\\d{4})/", "123", 0, nullptr}, PerlCase{"/(a{2,})/", "caaab", 1, "aaa"},
        PerlCase{"/(a{1,2})/", "caaab", 1, "aa"}, PerlCase{"/([~0-9]?)z/", "~z", 1, "~"},
        PerlCase{"/(\\+|-)(\\d)/", "-5", 1, "-"}, PerlCase{"/(ab)/i", "xAB", 1, "AB"},
        // Bytes above 0x7F are plain bytes, not UTF-8.
        PerlCase{"/(\\x82\\xA0)/", "\x82\xA0", 1, "\x82\xA0"}));

TEST(PatternTest, BadPatternsAreRefusedWithAReason) {
  for (const char* bad : {"a+", "/a+", "", "/(a/", "/a/q"}) {
    BRegexp handle;
    std::string error;
    const char subject[] = "a";
    EXPECT_EQ(BMatch(bad, subject, subject + 1, handle, &error), -1) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_FALSE(handle.IsCompiled()) << bad;
  }
}

TEST(PatternTest, AFailedCompileKeepsTheOldHandle) {
  BRegexp handle;
  ASSERT_EQ(Match("/a/", "a", handle), 1);
  EXPECT_EQ(Match("/(/", "a", handle), -1);
  EXPECT_EQ(handle.PatternText(), "/a/");
}

}  // namespace
}  // namespace qm
