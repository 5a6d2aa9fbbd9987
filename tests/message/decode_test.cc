#include "message/decode.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

using Decoder = int (*)(std::string_view, std::string&);

int CharsetOf(std::string_view value, std::string& out) {
  out = ContentTypeCharset(value);
  return 1;
}

// "GyRCJCIbKEI=" is ESC $ B "$"" ESC ( B, the hiragana A in ISO-2022-JP.
const std::string kJisA = "\x1B$B$\"\x1B(B";
const std::string kA = "\xE3\x81\x82";  // the hiragana A in UTF-8
const std::string kR = "\xEF\xBF\xBD";  // U+FFFD

TEST(DecodeTest, TransferEncodingsWordsAndJis) {
  const Decoder b64 = DecodeBase64, qp = DecodeQuotedPrintable, words = DecodeEncodedWords,
                jis = JisToShiftJis, jisUtf8 = JisToUtf8, charset = CharsetOf;
  const struct {
    Decoder decode;
    std::string input, expected;
    int result = 1;
  } cases[] = {
      // clang-format off
      {b64, "QUJD", "ABC"}, {b64, "QUI=", "AB"}, {b64, "QQ==", "A"}, {b64, "QUJDR", "ABC"},
      {b64, "QUJD\r\nREVG\r\n", "ABCDEF"}, {b64, "gqCCog==", "\x82\xA0\x82\xA2"}, {b64, "", ""},
      // Groups restart at every line; a zero byte ends a group; a bare LF or CR spoils one.
      {b64, "QUJ\r\nREVG", "DEF"}, {b64, "AEFC", ""}, {b64, "QQBC", "A"},
      {b64, "QUJD\nREVG", "ABC\xFD\x11\x15"}, {b64, "QU\rJD", "\xFF\xFF\xC9"},
      {qp, "a=3Db", "a=b"}, {qp, "soft=\r\nbreak", "softbreak"}, {qp, "=e3=81=82", kA},
      {qp, "=00x", "x"}, {qp, "=ZZy", "y"}, {qp, "=4Gz", "\x04z"}, {qp, "a=4", "a\x04"},
      {qp, "a=", "a"}, {qp, "a_b", "a_b"}, {qp, "= 41", "\x04" "1"},
      {words, "no words = here", "no words = here"},
      {words, "x =?ISO-2022-JP?B?GyRCJCIbKEI=?= y", "x " + kA + " y"},
      {words, "=?US-ASCII?Q?a=3Db_c=5F?=", "a=b c_"}, {words, "=?us-ascii?b?QUJD?=", "ABC"},
      // Blanks and folds between adjacent words go for every charset, never before plain text.
      {words, "=?ISO-2022-JP?B?GyRCJCIbKEI=?=\r\n =?iso-2022-jp?B?GyRCJCIbKEI=?=", kA + kA},
      {words, "=?UTF-8?B?QQ==?=\r\n \t=?UTF-8?Q?B?=  =?utf-8?Q?C?= D", "ABC D"},
      {words, "=?ISO-8859-1?Q?=E9?= =?UTF-8?Q?=C3=A9?=", "\xC3\xA9\xC3\xA9"},
      {words, "=?UTF-8?Q?A?= - =?UTF-8?Q?B?=", "A - B"},
      {words, "=?UTF-8?Q?A?=\r\n B", "A\r\n B"},
      // ISO-2022-JP words take the fold after them along, as Japanese mailers write them.
      {words, "=?ISO-2022-JP?B?QQ==?=\r\n\tB", "AB"},
      {words, "=?ISO-2022-JP?B?QQ==?=\r\n  B", "A B"},
      // A character split between two words of one charset is joined before it is converted.
      {words, "=?UTF-8?Q?=E3=81?= =?UTF-8?Q?=82?=", kA},
      {words, "=?ISO-2022-JP?B?GyRCJCI=?= =?ISO-2022-JP?B?GyhC?=", kA},
      {words, "=?UTF-8*ja?Q?=E3=81=82?=", kA}, {words, "=?X?Q?a=00b?=", "ab"},
      // An "=?" that begins no well-formed word stays as written and the rest still decodes.
      {words, "abc =?US-ASCII?X?zz?= def =?UTF-8?Q?x?=", "abc =?US-ASCII?X?zz?= def x", 0},
      {words, "abc =?US-ASCII??zz?= def", "abc =?US-ASCII??zz?= def", 0},
      {words, "abc =?ISO-2022-JP?B?GyRC", "abc =?ISO-2022-JP?B?GyRC", 0},
      {words, "=?US-ASCII?Q?a?x rest", "=?US-ASCII?Q?a?x rest", 0},
      {words, "=?US-ASCII?Q?a?", "=?US-ASCII?Q?a?", 0},
      {words, "Sale =?50% off <a@b>", "Sale =?50% off <a@b>", 0},
      {words, "=?a b?Q?c?=", "=?a b?Q?c?=", 0},
      // Bytes that are not text of their charset become U+FFFD, one per byte; undeclared 8-bit
      // text is UTF-8 when it is UTF-8, else code page 932; JIS runs as well.
      {words, "=?UTF-8?Q?a=FFb=E3=81?=", "a" + kR + "b" + kR},
      {words, "=?Shift_JIS?Q?=82=A0=A0?=", kA + kR},
      {words, "Re: \xE3\x81\x82 =?UTF-8?Q?x?=", "Re: " + kA + " x"},
      {words, "Re: \x82\xA0", "Re: " + kA},
      {words, "Re: " + kJisA, "Re: " + kA}, {words, "=?X-NONE?B?gqA=?=", kA},
      {jis, "plain \x82\xA0 text", "plain \x82\xA0 text"},
      {jis, "a" + kJisA + "b", "a\x82\xA0" "b"},
      {jis, "\x1B$@F|K\\\x1B(Jx", "\x93\xFA\x96\x7Bx"},
      {jis, "\x1B$B!!~~\x1B(B", "\x81\x40\xEF\xFC"},
      {jis, "\x1B(Ix\x1B$", "\x1B(Ix\x1B$"}, {jis, "\x1B$B\x1B(B", ""},
      {jis, kJisA + "-" + kJisA, "\x82\xA0-\x82\xA0"},
      // A run cut short, or a lone last byte of it, is dropped, never read past.
      {jis, "a\x1B$B$\"", "a\x82\xA0", 0}, {jis, "\x1B$B$\"$", "\x82\xA0", 0},
      {jisUtf8, "a" + kJisA + kA, "a" + kA + kA},
      {jisUtf8, "\x82\xA0" + kJisA + "\x1B$B$\"$", kA + kA + kA, 0},
      {charset, "text/plain;\r\n\tCharSet=\"iso-2022-jp\"; format=flowed", "iso-2022-jp"},
      {charset, "text/plain; name=\"a;charset=x\"; charset=euc-jp (c)", "euc-jp"},
      {charset, "text/plain; charset=UTF-8", "UTF-8"}, {charset, "text/plain; format=flowed", ""},
      {charset, "", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::string out = "stale";
    EXPECT_EQ(c.decode(c.input, out), c.result);
    EXPECT_EQ(out, c.expected);
  }
}

// Decoded bytes of charsets the program names or treats in its own way, and what they give in
// UTF-8 (the charsets themselves are checked against an independent decoder end to end).
TEST(DecodeTest, CharsetsToUtf8) {
  const struct {
    const char* charset;
    std::string bytes, expected;
  } cases[] = {
      // clang-format off
      {"utf-8", "\xE6\x97\xA5", "\xE6\x97\xA5"},
      // Each maximal ill-formed part is one U+FFFD; a surrogate is ill-formed.
      {"UTF-8", "a\xE3\x81z\xED\xA0\x80", "a" + kR + "z" + kR + kR + kR},
      {"ISO-2022-JP", "\x1B$BF|K\\\x1B(B", "\xE6\x97\xA5\xE6\x9C\xAC"},
      // Row 13 of code page 932 (circled digits), which JIS X 0208 leaves empty.
      {"iso-2022-jp", "\x1B$B-!\x1B(B", "\xE2\x91\xA0"}, {"ISO-2022-JP", "\x1B$B$\x01\x1B(B", kR},
      {"Shift_JIS", "\x93\xFA\xB1", "\xE6\x97\xA5\xEF\xBD\xB1"},
      {"Windows-31J", "\x87\x40", "\xE2\x91\xA0"},
      {"CP932", "\x81\x60", "\xEF\xBD\x9E"}, {"ISO-8859-1", "caf\xE9", "caf\xC3\xA9"},
      // Mail marked GB2312 is often GBK; names that mailers use for other charsets.
      {"gb2312", "\x81\x40", "\xE4\xB8\x82"}, {"ISO-8859-8-I", "\xE0", "\xD7\x90"},
      {"ks_c_5601-1987", "\xC7\xD1", "\xED\x95\x9C"},
      // A byte the charset does not have becomes U+FFFD and the rest still comes.
      {"EUC-JP", "a\xFF\xC6\xFC", "a" + kR + "\xE6\x97\xA5"}, {"Big5", "\xA4!x", kR + "!x"},
      // No charset, US-ASCII and unknown names: undeclared.
      {"", "\xE3\x81\x82", kA}, {"", "\x82\xA0\xFF", kA + kR}, {"US-ASCII", kJisA, kA},
      {"x-unknown", "\x82\xA0", kA}, {"UTF-8//IGNORE", "\x82\xA0", kA},
      {"UTF-16LE", std::string("A\0B\0", 4), "AB"},
      // The C library reads this name as UTF-8 and keeps a five-byte form of old: a fuzzer's find.
      {"utf)8", "\xFA\xAA\xAA\xAA\xAA", kR + kR + kR + kR + kR},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.charset);
    EXPECT_EQ(TextToUtf8(c.charset, c.bytes), c.expected);
    std::string inPlace = c.bytes;
    ConvertToUtf8(c.charset, inPlace);
    EXPECT_EQ(inPlace, c.expected);
  }
}

}  // namespace
}  // namespace qm
