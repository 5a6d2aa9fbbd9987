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
const std::string kA = "\xE3\x81\x82";  // the hiragana A in UTF-8
const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodedWordsTest,
    ::testing::Values(
        DecodeCase{"Plain", "no words = here", "no words = here"},
        DecodeCase{"BWord", "x =?ISO-2022-JP?B?GyRCJCIbKEI=?= y", "x " + kA + " y"},
        DecodeCase{"QWordUnderscoreIsSpace", "=?US-ASCII?Q?a=3Db_c=5F?=", "a=b c_"},
        DecodeCase{"LowerCaseEncoding", "=?us-ascii?b?QUJD?=", "ABC"},
        DecodeCase{"Utf8", "=?UTF-8?B?5p2l6YCx44Gu5Lya6K2w44Gr44Gk44GE44Gm?=",
                   "\xE6\x9D\xA5\xE9\x80\xB1\xE3\x81\xAE\xE4\xBC\x9A\xE8\xAD\xB0\xE3\x81\xAB\xE3"
                   "\x81\xA4\xE3\x81\x84\xE3\x81\xA6"},
        // Blanks and folds between adjacent words go for every charset, never before plain text.
        DecodeCase{"JisFoldJoins",
                   "=?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n =?iso-2022-jp?B?GyRCJCIbKEI=?=", kA + kA},
        DecodeCase{"Utf8FoldJoins", "=?UTF-8?B?QQ==?=\r\n \t=?UTF-8?Q?B?=  =?utf-8?Q?C?= D",
                   "ABC D"},
        DecodeCase{"CharsetsJoinToo",
                   "=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\xC3\xA9\xC3\xA9"},
        DecodeCase{"TextBetweenWordsStays", "=?UTF-8?Q?A?= - =?UTF-8?Q?B?=", "A - B"},
        DecodeCase{"WordThenFoldedTextKeepsFold", "=?UTF-8?Q?A?=\r\n B", "A\r\n B"},
        // ISO-2022-JP words take the fold after them along, as Japanese mailers write them.
        DecodeCase{"JisFoldTabJoins", "=?ISO-2022-JP?B?QQ==?=\r\n\tB", "AB"},
        DecodeCase{"JisFoldTwoBlanks", "=?ISO-2022-JP?B?QQ==?=\r\n  B", "A B"},
        // A character split between two words of one charset is joined before it is converted.
        DecodeCase{"SplitCharacterJoins", "=?UTF-8?Q?=E3=81?= =?UTF-8?Q?=82?=", kA},
        DecodeCase{"SplitJisRunJoins", "=?ISO-2022-JP?B?GyRCJCI=?= =?ISO-2022-JP?B?GyhC?=", kA},
        DecodeCase{"LanguageSuffix", "=?UTF-8*ja?Q?=E3=81=82?=", kA},
        // An "=?" that begins no well-formed word stays as written and the rest still decodes.
        DecodeCase{"UnknownEncodingStays",
                   "abc =?US-ASCII?X?zz?= def =?UTF-8?Q?x?=", "abc =?US-ASCII?X?zz?= def x", 0},
        DecodeCase{"EmptyEncodingStays", "abc =?US-ASCII??zz?= def", "abc =?US-ASCII??zz?= def", 0},
        DecodeCase{"UnterminatedStays", "abc =?ISO-2022-JP?B?GyRC", "abc =?ISO-2022-JP?B?GyRC", 0},
        DecodeCase{"NoEqualsAfterWordStays", "=?US-ASCII?Q?a?x rest", "=?US-ASCII?Q?a?x rest", 0},
        DecodeCase{"WordAtEndWithoutEquals", "=?US-ASCII?Q?a?", "=?US-ASCII?Q?a?", 0},
        DecodeCase{"NoWordInPercentSale", "Sale =?50% off <a@b>", "Sale =?50% off <a@b>", 0},
        DecodeCase{"BlankInCharsetIsNoWord", "=?a b?Q?c?=", "=?a b?Q?c?=", 0},
        DecodeCase{"DecodedZeroDropped", "=?X?Q?a=00b?=", "ab"},
        // Bytes that are not text of their charset become U+FFFD, one per byte.
        DecodeCase{"InvalidUtf8", "=?UTF-8?Q?a=FFb=E3=81?=", "a" + kFffd + "b" + kFffd},
        DecodeCase{"InvalidShiftJis", "=?Shift_JIS?Q?=82=A0=A0?=", kA + kFffd},
        // Undeclared 8-bit text: UTF-8 when it is UTF-8, else code page 932; JIS runs as well.
        DecodeCase{"RawUtf8", "Re: \xE3\x81\x82 =?UTF-8?Q?x?=", "Re: " + kA + " x"},
        DecodeCase{"RawCodePage932", "Re: \x82\xA0", "Re: " + kA},
        DecodeCase{"RawJis", "Re: " + kJisA, "Re: " + kA},
        DecodeCase{"UnknownCharsetIsUndeclared", "=?X-NONE?B?gqA=?=", kA}),
    CaseName);

// Decoded bytes of each charset the program reads, and what they give in UTF-8.
struct CharsetCase {
  const char* name;
  const char* charset;
  std::string bytes;
  std::string expected;
};

class CharsetTest : public ::testing::TestWithParam<CharsetCase> {};

TEST_P(CharsetTest, ConvertsToUtf8) {
  EXPECT_EQ(TextToUtf8(GetParam().charset, GetParam().bytes), GetParam().expected);
  std::string inPlace = GetParam().bytes;
  ConvertToUtf8(GetParam().charset, inPlace);
  EXPECT_EQ(inPlace, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Charsets, CharsetTest,
    ::testing::Values(
        CharsetCase{"Utf8", "utf-8", "\xE6\x97\xA5\xE6\x9C\xAC", "\xE6\x97\xA5\xE6\x9C\xAC"},
        // Each maximal ill-formed part is one U+FFFD; a surrogate is ill-formed.
        CharsetCase{"Utf8Invalid", "UTF-8", "a\xE3\x81z\xED\xA0\x80",
                    "a" + kFffd + "z" + kFffd + kFffd + kFffd},
        CharsetCase{"Iso2022Jp", "ISO-2022-JP", "\x1B$BF|K\\\x1B(B", "\xE6\x97\xA5\xE6\x9C\xAC"},
        // Row 13 of code page 932 (circled digits), which JIS X 0208 leaves empty.
        CharsetCase{"Iso2022JpRow13", "iso-2022-jp", "\x1B$B-!\x1B(B", "\xE2\x91\xA0"},
        CharsetCase{"Iso2022JpByteOutsideRun", "ISO-2022-JP", "\x1B$B$\x01\x1B(B", kFffd},
        CharsetCase{"ShiftJis", "Shift_JIS", "\x93\xFA\x96\x7B\xB1",
                    "\xE6\x97\xA5\xE6\x9C\xAC\xEF\xBD\xB1"},
        CharsetCase{"Windows31J", "Windows-31J", "\x87\x40", "\xE2\x91\xA0"},
        CharsetCase{"Cp932", "CP932", "\x81\x60", "\xEF\xBD\x9E"},
        CharsetCase{"EucJp", "EUC-JP", "\xC6\xFC\xCB\xDC", "\xE6\x97\xA5\xE6\x9C\xAC"},
        CharsetCase{"Latin1", "ISO-8859-1", "caf\xE9", "caf\xC3\xA9"},
        CharsetCase{"Latin2", "iso-8859-2", "\xB1", "\xC4\x85"},
        CharsetCase{"Cyrillic", "ISO-8859-5", "\xB0", "\xD0\x90"},
        CharsetCase{"Windows1252", "windows-1252", "\x80\x93", "\xE2\x82\xAC\xE2\x80\x9C"},
        CharsetCase{"Windows1251", "Windows-1251", "\xCF\xF0", "\xD0\x9F\xD1\x80"},
        CharsetCase{"Koi8R", "KOI8-R", "\xF0\xD2", "\xD0\x9F\xD1\x80"},
        CharsetCase{"Gb2312", "GB2312", "\xD6\xD0\xCE\xC4", "\xE4\xB8\xAD\xE6\x96\x87"},
        CharsetCase{"Gbk", "GBK", "\x81\x40", "\xE4\xB8\x82"},
        // Mail marked GB2312 is often GBK.
        CharsetCase{"Gb2312HoldingGbk", "gb2312", "\x81\x40", "\xE4\xB8\x82"},
        CharsetCase{"HebrewLogical", "ISO-8859-8-I", "\xE0", "\xD7\x90"},
        CharsetCase{"Big5", "Big5", "\xA4\xA4\xA4\xE5", "\xE4\xB8\xAD\xE6\x96\x87"},
        CharsetCase{"EucKr", "EUC-KR", "\xC7\xD1", "\xED\x95\x9C"},
        CharsetCase{"OutlookKorean", "ks_c_5601-1987", "\xC7\xD1", "\xED\x95\x9C"},
        // A byte the charset does not have becomes U+FFFD and the rest still comes.
        CharsetCase{"InvalidEucJp", "EUC-JP", "a\xFF\xC6\xFC", "a" + kFffd + "\xE6\x97\xA5"},
        CharsetCase{"InvalidBig5", "Big5", "\xA4!x", kFffd + "!x"},
        // No charset, US-ASCII and unknown names: undeclared.
        CharsetCase{"NoneUtf8", "", "\xE3\x81\x82", kA},
        CharsetCase{"NoneCodePage932", "", "\x82\xA0\xFF", kA + kFffd},
        CharsetCase{"AsciiWithJis", "US-ASCII", kJisA, kA},
        CharsetCase{"Unknown", "x-unknown", "\x82\xA0", kA},
        CharsetCase{"NameWithSlashIsUnknown", "UTF-8//IGNORE", "\x82\xA0", kA},
        CharsetCase{"Utf16NulDropped", "UTF-16LE", std::string("A\0B\0", 4), "AB"},
        // The C library reads this name as UTF-8 and keeps a five-byte form of old: a fuzzer's
        // find.
        CharsetCase{"OddUtf8NameKeepsOldFormsOut", "utf)8", "\xFA\xAA\xAA\xAA\xAA",
                    kFffd + kFffd + kFffd + kFffd + kFffd}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ContentTypeCharsetTest, FindsTheParameter) {
  EXPECT_EQ(ContentTypeCharset("text/plain; charset=UTF-8"), "UTF-8");
  EXPECT_EQ(ContentTypeCharset("text/plain;\r\n\tCharSet=\"iso-2022-jp\"; format=flowed"),
            "iso-2022-jp");
  EXPECT_EQ(ContentTypeCharset("text/plain; name=\"a;charset=x\"; charset=euc-jp (c)"), "euc-jp");
  EXPECT_EQ(ContentTypeCharset("text/plain; format=flowed"), "");
  EXPECT_EQ(ContentTypeCharset("text/plain"), "");
  EXPECT_EQ(ContentTypeCharset(""), "");
}

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

TEST(JisToUtf8Test, RunsAndTheTextAroundThem) {
  std::string out = "stale";
  EXPECT_EQ(JisToUtf8("a" + kJisA + "\xE3\x81\x82", out), 1);
  EXPECT_EQ(out, "a" + kA + kA);
  // Outside the runs, text that is not UTF-8 is code page 932; a lone byte of a run is dropped.
  EXPECT_EQ(JisToUtf8("\x82\xA0" + kJisA + "\x1B$B$\"$", out), 0);
  EXPECT_EQ(out, kA + kA + kA);
}

}  // namespace
}  // namespace qm
