// Message parsing and decoding at odd and hostile inputs (ordinary mail: tests/cli/reference_test).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/decode.h"
#include "message/html.h"
#include "message/mail_header.h"
#include "message/mail_message.h"
#include "message/mime_parts.h"
#include "message/stored_form.h"
#include "support/scoped_time_zone.h"

namespace qm {
namespace {

// Lines joined with CR LF, then the "." line, as the mailboxes store a message.
std::string Stored(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (std::string_view line : lines) text.append(line).append("\r\n");
  return text + ".\r\n";
}

std::string Fields(std::string_view text) {
  MailHeader header;
  header.SetText(text);
  std::string all;
  for (std::size_t i = 0; i < header.FieldNames().size(); ++i)
    all += header.FieldNames()[i] + "=" + header.FieldValues()[i] + "|";
  return all + "#" + std::to_string(header.HeaderLength());
}

// A cut text parses as far as it goes, into the first fields of the whole.
TEST(HeaderTest, FieldsAndHeaderLengthOfEveryPrefix) {
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {Stored({"Subject: first", " second", "", "body"}), "Subject=first\r\n second|#27"},
      {Stored({"X-Name :  \t value \t ", "B:", "", "b"}), "X-Name =value|B=|#28"},
      {"A: 1\r\nB: 2", "A=1|#10"}, {"A: 1\r\nBBBB", "A=1|#10"}, {Stored({"", "A: b"}), "#0"}, {"A: 1\r\nno colon\r\nB: 2\r\n\r\n", "A=1|#6"},
      // A bare LF before a colon ends the header; in a value it, and a bare CR, is content. NUL ends all.
      {"A: 1\r\nfoo\nB: 2\r\n\r\nbody", "A=1|#6"}, {"A: x\ny\rz\r\n\r\nb", "A=x\ny\rz|#12"}, {std::string("A: 1\r\n\0B: 2\r\n\r\n", 15), "A=1|#6"},
      // clang-format on
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(Fields(text), expected) << text;
  const std::string full =
      Stored({"Received: from a ([10.0.0.1])", "\tby b; Mon, 3 Jun 2024",
              "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=", "From: x <y@z>", "", "b", ".. x"});
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::string cut = Fields(full.substr(0, n));
    EXPECT_LE(std::stoul(cut.substr(cut.find('#') + 1)), n);
    for (std::size_t at = 0; at < cut.find('#'); at = cut.find('|', at) + 1) {
      EXPECT_NE(Fields(full).find(cut.substr(at, cut.find('=', at) - at + 1)), std::string::npos)
          << n;
    }
  }
  // Look-up ignores ASCII case and takes the first; 0x83 0x41 and 0x83 0x61 are two katakana.
  MailHeader header;
  header.SetText(Stored({"SUBJECT: one", "subject: two", "Name : x", "X-\x83\x41: kana", ""}));
  std::string value, got;
  for (const char* name : {"subject", "Name", "name ", "x-\x83\x41", "x-\x83\x61"})
    got += std::to_string(header.GetField(name, value)) + value + " ";
  EXPECT_EQ(got, "1one 0 1x 1kana 0 ");
  // Greedy groups: the last "@" and the last bracket pair with an "@" decide.
  got.clear();
  for (const char* text : {" \t\"Name\"\t <a@b>", "a@b@c", "A <x@y> B <p@q>",
                           "undisclosed recipients", "Name <nobody>", ""}) {
    AddressParts p{"n", "a", "l", "d"};
    got += SplitAddress(text, p) ? p.name + "|" + p.local + "|" + p.domain + "|" + p.address + " "
                                 : "- ";
  }
  EXPECT_EQ(got, "Name|a|b|a@b |a@b|c|a@b@c A <x@y> B|p|q|p@q - - - ");
}

// Body ("*": not checked), relay addresses (reversed) and link hosts, each walked twice.
TEST(MessageTest, BodyRelaysAndLinkHosts) {
  const std::string longHost(2000, 'h');
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      // Shorter than its header plus the "." line: no body at all, nothing read past the end.
      {Stored({"A: b"}), "||"}, {"A: b\r\n\r\nx", "||"}, {"A: b\r\n", "||"},
      // Parts that are not text are left out, text attachments and embedded messages are not.
      {Stored({"Content-Type: multipart/mixed; boundary=o", "", "--o", "Content-Type: application/pdf", "", "%PDF", "--o",
               "Content-Disposition: attachment; filename=a.txt", "", "..dot line", "--o", "Content-Type: message/rfc822", "",
               "Content-Type: text/html; charset=shift_jis", "", "\x82\xA0", "--o--"}), ".dot line\r\n\xE3\x81\x82||"},
      {Stored({"A: b", "", "http://user@host.example/ https://[::1]/ http://x_y.example"}),
       "http://user@host.example/ https://[::1]/ http://x_y.example\r\n|| user x_y.example"},
      {Stored({"A: b", "", "http://" + longHost + "/"}), "http://" + longHost + "/\r\n|| " + longHost},
      // Comments, end tags and script text hold no attributes, script tags do; hosts as a browser reads them.
      {Stored({"Content-Type: text/html", "", "<!-- <a href=//c.test> --></a href=//e.test><script src=//s.test>var a = "
               "'<a href=//i.test>';</SCRIPT ><a download href=//x.test><a href=\"https://bank.example@evil.test/\">x</a>"
               "<a href=\"ht\ttp:\\\\back.test\">x</a><a\nhref\n=\nhttps:/one.test><a href=\"javascript:go('http://js.test')\">"
               "<a href=\"http&#58;//x.test/\">a</a><a href=h&#x74;tp://y&#46;test>b</a><a href='https://a.test/?q=1&amp;r=http://z.test'>"
               "<a href=\"mailto:a@b.test\"><img src=\"cid:x@y\"><a href=\"http://open.test/ <b>http://next.test"}),
       "*|| s.test x.test bank.example evil.test back.test one.test js.test x.test y.test a.test z.test open.test next.test"},
      // clang-format on
  };
  for (const auto& [text, expected] : cases) {
    CMailMessage message;
    message.Parse(text);
    std::string walk, item;
    for (int round = 0; round < 2; ++round) {
      std::string body = "stale";
      message.ResetReceivedWalk();
      ASSERT_EQ(message.DecodeBody(body), 1);
      EXPECT_EQ(message.DecodeBody(), !body.empty());
      walk += (expected[0] == '*' ? "*" : body) + "|";
      while (message.NextReceivedAddress(item)) walk += item + " ";
      walk += "|";
      while (message.NextUrlHost(item)) walk += " " + item;
      EXPECT_EQ(message.NextReceivedAddress(item) + message.NextUrlHost(item), 0);
    }
    EXPECT_EQ(walk, expected + expected) << text.substr(0, 60);
  }
  // Dates are moved to Japan time and read as the machine's local time; "100 Jan" is day 00.
  test::ScopedTimeZone utc("UTC");
  std::int64_t seconds = 0, day00 = 0;
  CMailMessage dated, day;
  dated.Parse(Stored({"Received: by x;", "\t3 Jun 2024 10:30:15 -0500 (EST)", ""}));
  day.Parse(Stored({"received: x; 100 Jan 2024 00:00:00 +0900", ""}));
  EXPECT_EQ(dated.ReceivedDate(seconds) + day.ReceivedDate(day00), 2);
  EXPECT_EQ(std::to_string(seconds) + " " + std::to_string(day00), "1717461015 1703980800");
  EXPECT_EQ(ToStoredForm(std::string("A: b\r\n\n.\n..x\0y", 14)),
            "A: b\r\n\r\n..\r\n...x y\r\n.\r\n");
  EXPECT_EQ(
      DecodeCharacterReferences("&#65;&#x42;&#X43&lt;&gt;&amp;&quot;&nbsp;&hellip;&#0; &#xD800; "
                                "&#99999999999; &#x1F600; & &# &#x; &unknown; &amp AT&T"),
      "ABC<>&\"\xC2\xA0\xE2\x80\xA6\xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD \xF0\x9F\x98\x80 & &# "
      "&#x; &unknown; &amp AT&T");
}

using Decoder = int (*)(std::string_view, std::string&);
int CharsetOf(std::string_view value, std::string& out) {
  out = ContentTypeCharset(value);
  return 1;
}
const std::string kJisA = "\x1B$B$\"\x1B(B", kA = "\xE3\x81\x82", kR = "\xEF\xBF\xBD";

TEST(DecodeTest, TransferEncodingsWordsAndJis) {
  const Decoder b64 = DecodeBase64, qp = DecodeQuotedPrintable, words = DecodeEncodedWords,
                jis = JisToShiftJis, jisUtf8 = JisToUtf8, charset = CharsetOf;
  const struct {
    Decoder decode;
    std::string input, expected;
    int result = 1;
  } cases[] = {
      // clang-format off
      // Groups restart at every line; a zero byte ends a group; a bare LF or CR spoils one.
      {b64, "QUJDR", "ABC"}, {b64, "QUJ\r\nREVG", "DEF"}, {b64, "AEFC", ""}, {b64, "QQBC", "A"},
      {b64, "QUJD\nREVG", "ABC\xFD\x11\x15"}, {b64, "QU\rJD", "\xFF\xFF\xC9"},
      {qp, "soft=\r\nbreak=00x=ZZy=4Gz_= 41a=4", "softbreakxy\x04z_\x04" "1a\x04"}, {qp, "a=", "a"},
      // Blanks between adjacent words go, never before plain text; ISO-2022-JP words take the next fold along.
      {words, "=?UTF-8?B?QQ==?=\r\n \t=?UTF-8?Q?B?=  =?utf-8?Q?C?= - =?UTF-8?Q?A?=\r\n B", "ABC - A\r\n B"},
      {words, "=?ISO-2022-JP?B?QQ==?=\r\n\tB =?ISO-2022-JP?B?QQ==?=\r\n  B", "AB A B"},
      // A character split between two words of one charset is joined before it is converted.
      {words, "=?UTF-8?Q?=E3=81?= =?UTF-8?Q?=82?= =?ISO-2022-JP?B?GyRCJCI=?= =?ISO-2022-JP?B?GyhC?=", kA + kA},
      {words, "=?UTF-8*ja?Q?=E3=81=82?= =?X?Q?a=00b?=", kA + "ab"},
      // An "=?" that begins no well-formed word stays as written and the rest still decodes.
      {words, "abc =?US-ASCII?X?zz?= def =?UTF-8?Q?x?= =?US-ASCII??zz?= =?a b?Q?c?=", "abc =?US-ASCII?X?zz?= def x =?US-ASCII??zz?= =?a b?Q?c?=", 0},
      {words, "abc =?ISO-2022-JP?B?GyRC", "abc =?ISO-2022-JP?B?GyRC", 0},
      {words, "=?US-ASCII?Q?a?x rest", "=?US-ASCII?Q?a?x rest", 0}, {words, "=?US-ASCII?Q?a?", "=?US-ASCII?Q?a?", 0},
      // Invalid bytes become U+FFFD each; undeclared 8-bit text is UTF-8 if valid, else code page 932.
      {words, "=?UTF-8?Q?a=FFb=E3=81?= =?Shift_JIS?Q?=82=A0=A0?=", "a" + kR + "b" + kR + kA + kR},
      {words, "Re: \x82\xA0 " + kJisA + " =?X-NONE?B?gqA=?=", "Re: " + kA + " " + kA + " " + kA},
      {jis, "\x1B$@F|K\\\x1B(Jx\x1B$B\x1B(B", "\x93\xFA\x96\x7Bx"}, {jis, "\x1B(Ix\x1B$", "\x1B(Ix\x1B$"},
      // A run cut short, or a lone last byte of it, is dropped, never read past.
      {jis, "a\x1B$B$\"", "a\x82\xA0", 0}, {jis, "\x1B$B$\"$", "\x82\xA0", 0},
      {jisUtf8, "\x82\xA0" + kJisA + "\x1B$B$\"$", kA + kA + kA, 0},
      {charset, "text/plain;\r\n\tCharSet=\"iso-2022-jp\"; format=flowed", "iso-2022-jp"},
      {charset, "text/plain; name=\"a;charset=x\"; charset=euc-jp (c)", "euc-jp"}, {charset, "text/plain; format=flowed", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    EXPECT_EQ(c.decode(c.input, out), c.result) << c.input;
    EXPECT_EQ(out, c.expected) << c.input;
  }
  // Charsets the program treats in its own way (the others are compared with a reference end to
  // end).
  const std::tuple<const char*, std::string, std::string> charsets[] = {
      // clang-format off
      // Each maximal ill-formed part is one U+FFFD; a surrogate is ill-formed.
      {"UTF-8", "a\xE3\x81z\xED\xA0\x80", "a" + kR + "z" + kR + kR + kR},
      // Row 13 of code page 932 (circled digits), which JIS X 0208 leaves empty.
      {"iso-2022-jp", "\x1B$B-!\x1B(B\x1B$B$\x01\x1B(B", "\xE2\x91\xA0" + kR},
      {"", "\x82\xA0\xFF", kA + kR}, {"US-ASCII", kJisA, kA},
      // The C library reads this name as UTF-8 and keeps a five-byte form of old: a fuzzer's find.
      {"utf)8", "\xFA\xAA\xAA\xAA\xAA", kR + kR + kR + kR + kR},
      // clang-format on
  };
  for (const auto& [name, bytes, expected] : charsets) {
    std::string inPlace = bytes;
    ConvertToUtf8(name, inPlace);
    EXPECT_EQ(TextToUtf8(name, bytes) + "|" + inPlace, expected + "|" + expected) << name;
  }
}

std::string Leaves(std::string_view message, MimeLimits limits = {}) {
  std::string lines;
  for (const MimeLeaf& leaf : WalkMimeParts(message, limits)) {
    lines += leaf.type + " " + leaf.charset + " " + leaf.encoding + " " + leaf.fileName + " " +
             (leaf.attachment ? "a " : "i ") + std::to_string(leaf.depth) + " [" +
             std::string(message.substr(leaf.offset, leaf.length)) + "]\n";
  }
  return lines;
}

// Odd and hostile multiparts; every prefix (as a cut transfer leaves it) walks within its bytes.
TEST(MimeWalkTest, FindsTheLeavesInOrderWithinTheBytesOfEveryPrefix) {
  const std::string nested =
      "Content-Type: multipart/mixed; boundary=\"outer b\"\r\n\r\npreamble\r\n--outer b\r\n"
      "Content-Type: multipart/alternative;\r\n boundary=inner\r\n\r\n--inner\r\nContent-Type: "
      "text/plain; charset=UTF-8\r\n\r\nplain\r\n--inner--\r\n--outer b  \r\nContent-Disposition: "
      "attachment; filename=\"a \\\"b\\\".pdf\"\r\n\r\n%PDF\r\n--outer b--\r\nepilogue\r\n";
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {nested, "text/plain utf-8   i 2 [plain]\ntext/plain   a \"b\".pdf a 1 [%PDF]\n"},
      {"Content-Type: Multipart/Related; boundary=b\n\n--b\n\nfirst\n--b\nsecond\n", "text/plain    i 1 [first]\ntext/plain    i 1 [second\n]\n"},
      // What cannot be split is read as the text it is.
      {"Content-Type: multipart/mixed\r\n\r\n--b\r\nx\r\n", "text/plain    i 0 [--b\r\nx\r\n]\n"},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\nx\r\n", "text/plain    i 0 [x\r\n]\n"},
      {"Content-Type: multipart/mixed; boundary=b\r\nContent-Transfer-Encoding: base64\r\n\r\nLS1i\r\n", "text/plain  base64  i 0 [LS1i\r\n]\n"},
      {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n--bb\r\n--b--", "text/plain    i 1 [--bb]\n"},
      {"Content-Type: application/octet-stream;\r\n name*0*=utf-8''%E6%97%A5; name*1=\".txt\"\r\n\r\nx", "application/octet-stream   \xE6\x97\xA5.txt i 0 [x]\n"},
      // clang-format on
  };
  for (const auto& [message, leaves] : cases) EXPECT_EQ(Leaves(message), leaves) << message;
  for (std::size_t n = 0; n <= nested.size(); ++n)
    for (const MimeLeaf& leaf : WalkMimeParts(std::string_view(nested).substr(0, n)))
      ASSERT_LE(leaf.offset + leaf.length, n) << n;
  // Deep nesting ends in a leaf; many parts are cut.
  std::string deep, many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 40; ++i)
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  for (int i = 0; i < 100; ++i) many += "--b\r\n\r\nx\r\n";
  const auto leaves = WalkMimeParts(deep + "\r\nx", {.maxDepth = 16, .maxLeaves = 512});
  EXPECT_EQ(leaves.size() * 100 + leaves[0].depth, 116u);
  EXPECT_EQ(WalkMimeParts(many, {.maxDepth = 16, .maxLeaves = 10}).size(), 10u);
  EXPECT_EQ(HeaderParameter("x; a=\"x;y\"; CHARSET = \"u\\\"8\" ", "charset") +
                HeaderParameter("x; name*0=a; name*2=c", "name") +
                HeaderParameter("x; name", "name") + HeaderParameter("x; boundary=", "boundary"),
            "u\"8a");
}

}  // namespace
}  // namespace qm
