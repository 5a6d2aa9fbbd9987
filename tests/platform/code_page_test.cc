#include "platform/code_page.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

const std::string kFffd(kReplacementCharacter);

// Shift_JIS with the Microsoft extensions; each byte that does not convert becomes one U+FFFD: a
// lone lead byte at the end, a lead byte with an impossible trail, an unassigned byte.
TEST(CodePageTest, ConvertsCodePage932) {
  EXPECT_EQ(Cp932ToUtf8("a\x82\xA0\x87\x40\xB1\x81\x60"),
            "a\xE3\x81\x82\xE2\x91\xA0\xEF\xBD\xB1\xEF\xBD\x9E");
  EXPECT_EQ(Cp932ToUtf8("a\x82"), "a" + kFffd);
  EXPECT_EQ(Cp932ToUtf8("\x82\x20z\xA0x\xFFy"), kFffd + " z" + kFffd + "x" + kFffd + "y");
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "\x93\xFA\x96\x7B";  // 日本, past any buffer
  EXPECT_EQ(Cp932ToUtf8(text).size(), 5000u * 6u);
}

TEST(CodePageTest, NamedCharsetsAndRepair) {
  std::string out = "kept";
  EXPECT_FALSE(CharsetToUtf8("x-no-such-charset", "abc", out));
  EXPECT_EQ(out, "kept");
  ASSERT_TRUE(CharsetToUtf8("iso-8859-1", "caf\xE9", out));
  EXPECT_EQ(out, "caf\xC3\xA9");
  EXPECT_EQ(RepairUtf8("a\xC3\xA9"
                       "b\xC3"
                       "c\xE2\x82"),
            "a\xC3\xA9"
            "b" +
                kFffd + "c" + kFffd);
}

}  // namespace
}  // namespace qm
