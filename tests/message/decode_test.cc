#include "message/decode.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

struct DecodeCase {
  const char* name;
  std::string input;
  std::string expected;
  int result = 1;
};

std::string CaseName(const ::testing::TestParamInfo<DecodeCase>& param) { return param.param.name; }

class Base64Test : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Test, Decodes) {
  std::string out = "stale";
  EXPECT_EQ(DecodeBase64(GetParam().input, out), 1);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Base64Test,
    ::testing::Values(DecodeCase{"FullGroup", "QUJD", "ABC"}, DecodeCase{"OnePad", "QUI=", "AB"},
                      DecodeCase{"TwoPads", "QQ==", "A"},
                      DecodeCase{"FiveCharactersDecodeFour", "QUJDR", "ABC"},
                      DecodeCase{"Lines", "QUJD\r\nREVG\r\n", "ABCDEF"},
                      // Groups restart at every line: short lines give nothing.
                      DecodeCase{"GroupsDoNotSpanLines", "QUJ\r\nREVG", "DEF"},
                      DecodeCase{"ZeroByteEndsGroup", "AEFC", ""},
                      DecodeCase{"ZeroInMiddle", "QQBC", "A"},
                      // A bare LF is no line end; it spoils the group it falls in.
                      DecodeCase{"BareLfSpoilsGroup", "QUJD\nREVG", "ABC\xFD\x11\x15"},
                      DecodeCase{"LoneCr", "QU\rJD", "\xFF\xFF\xC9"}, DecodeCase{"Empty", "", ""},
                      DecodeCase{"Binary", "gqCCog==", "\x82\xA0\x82\xA2"}),
    CaseName);

class QuotedPrintableTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(QuotedPrintableTest, Decodes) {
  std::string out = "stale";
  EXPECT_EQ(DecodeQuotedPrintable(GetParam().input, out), 1);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, QuotedPrintableTest,
    ::testing::Values(DecodeCase{"EscapedEquals", "a=3Db", "a=b"},
                      DecodeCase{"SoftLineBreak", "soft=\r\nbreak", "softbreak"},
                      DecodeCase{"LowerCaseHex", "=e3=81=82", "\xE3\x81\x82"},
                      DecodeCase{"ZeroByteVanishes", "=00x", "x"},
                      DecodeCase{"NonHexVanishesWithTwoCharacters", "=ZZy", "y"},
                      DecodeCase{"HalfHex", "=4Gz", "\x04z"},
                      DecodeCase{"OneCharacterAtEnd", "a=4", "a\x04"},
                      DecodeCase{"EqualsAtEnd", "a=", "a"},
                      DecodeCase{"UnderscoreStays", "a_b", "a_b"},
                      // The C library's reading skips a leading blank.
                      DecodeCase{"LeadingBlank", "= 41",
                                 "\x04"
                                 "1"}),
    CaseName);

class EncodedWordsTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(EncodedWordsTest, Decodes) {
  std::string out = "stale";
  EXPECT_EQ(DecodeEncodedWords(GetParam().input, out), GetParam().result);
  EXPECT_EQ(out, GetParam().expected);
}

// "GyRCJCIbKEI=" is ESC $ B "$"" ESC ( B, the hiragana A in ISO-2022-JP.
const std::string kJisA = "\x1B$B$\"\x1B(B";

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodedWordsTest,
    ::testing::Values(
        DecodeCase{"Plain", "no words = here", "no words = here"},
        DecodeCase{"BWord", "x =?ISO-2022-JP?B?GyRCJCIbKEI=?= y", "x " + kJisA + " y"},
        DecodeCase{"QWord", "=?US-ASCII?Q?a=3Db_c?=", "a=b_c"},
        DecodeCase{"LowerCaseEncoding", "=?us-ascii?b?QUJD?=", "ABC"},
        // Words in ISO-2022-JP on folded lines join; the charset is compared upper-cased.
        DecodeCase{
            "JisFoldJoins",
            "=?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n =?iso-2022-jp?B?GyRCJCIbKEI=?=", kJisA + kJisA},
        DecodeCase{"JisFoldTabJoins", "=?ISO-2022-JP?B?QQ==?=\r\n\tB", "AB"},
        // Only one blank of the continuation goes.
        DecodeCase{"JisFoldTwoBlanks", "=?ISO-2022-JP?B?QQ==?=\r\n  B", "A B"},
        DecodeCase{"OtherCharsetKeepsFold", "=?UTF-8?B?QQ==?=\r\n =?UTF-8?B?Qg==?=", "A\r\n B"},
        DecodeCase{"UnknownEncodingStops", "abc =?US-ASCII?X?zz?= def", "abc ", 0},
        DecodeCase{"EmptyEncodingStops", "abc =?US-ASCII??zz?= def", "abc ", 0},
        DecodeCase{"UnterminatedStops", "abc =?ISO-2022-JP?B?GyRC", "abc ", 0},
        DecodeCase{"NoEqualsAfterWordStops", "=?US-ASCII?Q?a?x rest", "a", 0},
        DecodeCase{"WordAtEndWithoutEquals", "=?US-ASCII?Q?a?", "a", 0},
        DecodeCase{"DecodedZeroDropped", "=?X?Q?a=00b?=", "ab"}),
    CaseName);

class JisTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(JisTest, Converts) {
  std::string out = "stale";
  EXPECT_EQ(JisToShiftJis(GetParam().input, out), GetParam().result);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JisTest,
    ::testing::Values(
        DecodeCase{"NoEscapesUnchanged", "plain \x82\xA0 text", "plain \x82\xA0 text"},
        DecodeCase{"Hiragana", "a" + kJisA + "b",
                   "a\x82\xA0"
                   "b"},
        DecodeCase{"AtDesignationAndRomanEnd", "\x1B$@F|K\\\x1B(Jx", "\x93\xFA\x96\x7Bx"},
        // First and last cells of the table: row 1 cell 1 and row 94 cell 94.
        DecodeCase{"TableCorners", "\x1B$B!!~~\x1B(B", "\x81\x40\xEF\xFC"},
        DecodeCase{"UnknownEscapeCopied", "\x1B(Ix\x1B$", "\x1B(Ix\x1B$"},
        DecodeCase{"EndsInsideRun", "a\x1B$B$\"", "a\x82\xA0", 0},
        // A lone last byte of a run is dropped, never read past.
        DecodeCase{"LoneByteAtEnd", "\x1B$B$\"$", "\x82\xA0", 0},
        DecodeCase{"EmptyRun", "\x1B$B\x1B(B", ""},
        DecodeCase{"TwoRuns", kJisA + "-" + kJisA, "\x82\xA0-\x82\xA0"}),
    CaseName);

TEST(DecodeFieldValueTest, WordsThenJapaneseRuns) {
  EXPECT_EQ(DecodeFieldValue("Re: =?ISO-2022-JP?B?GyRCJCIbKEI=?= !"), "Re: \x82\xA0 !");
  // Raw ISO-2022-JP in a header (no encoded word) is converted too.
  EXPECT_EQ(DecodeFieldValue(kJisA), "\x82\xA0");
}

}  // namespace
}  // namespace qm
