#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(CodePageTest, ConvertsShiftJisWithTheMicrosoftExtensions) {
  EXPECT_EQ(Cp932ToUtf8("abc"), "abc");
  EXPECT_EQ(Cp932ToUtf8("\x82\xA0\x82\xA2"), "\xE3\x81\x82\xE3\x81\x84");  // あい
  EXPECT_EQ(Cp932ToUtf8("\x87\x40"), "\xE2\x91\xA0");                      // circled 1
  EXPECT_EQ(Cp932ToUtf8("\xB1"), "\xEF\xBD\xB1");                          // half-width ア
  EXPECT_EQ(Cp932ToUtf8("\x81\x60"), "\xEF\xBD\x9E");                      // full-width tilde
  EXPECT_EQ(Cp932ToUtf8(""), "");
}

TEST(CodePageTest, EachByteThatDoesNotConvertBecomesOneReplacementCharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  // A lone lead byte at the end, a lead byte with an impossible trail, and an unassigned byte.
  EXPECT_EQ(Cp932ToUtf8("a\x82"), "a" + fffd);
  EXPECT_EQ(Cp932ToUtf8("\x82\x20z"), fffd + " z");
  EXPECT_EQ(Cp932ToUtf8("\xA0x\xFFy"), fffd + "x" + fffd + "y");
}

TEST(CodePageTest, LongTextsConvertWhole) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "\x93\xFA\x96\x7B";  // 日本
  const std::string utf8 = Cp932ToUtf8(text);
  EXPECT_EQ(utf8.size(), 5000u * 6u);
  EXPECT_EQ(utf8.substr(0, 6), "\xE6\x97\xA5\xE6\x9C\xAC");
}

}  // namespace
}  // namespace qm
