#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/mail_header.h"
#include "message/mail_message.h"
#include "message/stored_form.h"
#include "stored_text.h"
#include "support/file_bytes.h"
#include "support/scoped_time_zone.h"
#include "support/words.h"

namespace qm {
namespace {

using test::Stored;
using test::Words;
using Strings = std::vector<std::string>;

// Each field as "name=value", one string for the header, then "#" and the header's length.
std::string Fields(std::string_view text) {
  MailHeader header;
  header.SetText(text);
  std::string fields;
  for (std::size_t i = 0; i < header.FieldNames().size(); ++i) {
    fields += header.FieldNames()[i] + "=" + header.FieldValues()[i] + "|";
  }
  return fields + "#" + std::to_string(header.HeaderLength());
}

TEST(HeaderTest, FieldsAndHeaderLength) {
  const struct {
    std::string text, fields;
  } cases[] = {
      // clang-format off
      // Folding is kept: the inner CR LF and the blank stay in the value.
      {Stored({"Subject: first", " second", "", "body"}), "Subject=first\r\n second|#27"},
      {"A: 1\r\n\t2\r\nB: 3\r\n\r\n", "A=1\r\n\t2|B=3|#18"},
      {Stored({"X-Name :  \t value \t ", "", "b"}), "X-Name =value|#24"},
      {"From: a@b\r\n", "From=a@b|#11"}, {"A: 1\r\nB: 2", "A=1|#10"}, {"A: 1\r\nBBBB", "A=1|#10"},
      {Stored({"", "A: b"}), "#0"}, {"", "#0"}, {"A:\r\nB:  \r\n\r\n", "A=|B=|#12"},
      {"A: 1\r\nno colon\r\nB: 2\r\n\r\n", "A=1|#6"},
      // A bare LF before the colon ends the header at the start of that line; inside a value it
      // is ordinary content, and so is a bare CR. A NUL ends the text.
      {"A: 1\r\nfoo\nB: 2\r\n\r\nbody", "A=1|#6"}, {"A: x\ny\rz\r\n\r\nb", "A=x\ny\rz|#12"},
      {std::string("A: 1\r\n\0B: 2\r\n\r\n", 15), "A=1|#6"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(Fields(c.text), c.fields) << c.text;
}

TEST(HeaderTest, LookUpIgnoresAsciiCaseAndTakesTheFirst) {
  MailHeader header;
  std::string value = "untouched";
  EXPECT_EQ(header.GetField("From", value), 0);
  EXPECT_EQ(value, "untouched");
  // 0x83 0x41 and 0x83 0x61 are two different katakana: a trail byte is never lower-cased.
  header.SetText(Stored({"SUBJECT: one", "subject: two", "Name : x", "X-\x83\x41: kana", ""}));
  EXPECT_EQ(header.GetField("subject", value), 1);
  EXPECT_EQ(value, "one");
  EXPECT_EQ(header.GetField("Name", value), 0);
  EXPECT_EQ(value, "");
  EXPECT_EQ(header.GetField("name ", value) + header.GetField("x-\x83\x41", value), 2);
  EXPECT_EQ(header.GetField("x-\x83\x61", value), 0);
  header.SetText("B: 2\r\n\r\n");
  EXPECT_EQ(header.GetField("subject", value), 0);
  header.Reset();
  EXPECT_EQ(header.GetField("B", value), 0);
}

// The parser sees text that a connection may cut anywhere: every prefix of a message parses, and
// the names it finds are the first names of the whole message.
TEST(HeaderTest, EveryPrefixParsesConsistently) {
  const std::string full = Stored({"Received: from a ([10.0.0.1])", "\tby b; Mon, 3 Jun 2024",
                                   "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=", "From: x <y@z>", "",
                                   "body line", ".. stuffed"});
  MailHeader whole;
  whole.SetText(full);
  const auto allNames = whole.FieldNames();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    MailHeader header;
    header.SetText(std::string_view(full).substr(0, n));
    const auto& names = header.FieldNames();
    ASSERT_LE(names.size(), allNames.size()) << n;
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], allNames[i]) << n;
    EXPECT_LE(header.HeaderLength(), n);
  }
}

TEST(AddressTest, SplitsNameAndAddress) {
  const struct {
    const char* text;
    const char* parts;  // name|local|domain|address, or "" when nothing is found
  } cases[] = {
      // clang-format off
      {"\"Taro Yamada\" <taro@example.jp>", "Taro Yamada|taro|example.jp|taro@example.jp"},
      {" \t\"Name\"\t <a@b>", "Name|a|b|a@b"}, {"<a@b.example>", "|a|b.example|a@b.example"},
      {"a@b.example", "|a|b.example|a@b.example"},
      // Greedy groups: the last "@" and the last bracket pair with an "@" decide.
      {"a@b@c", "|a@b|c|a@b@c"}, {"A <x@y> B <p@q>", "A <x@y> B|p|q|p@q"},
      {"undisclosed recipients", ""}, {"Name <nobody>", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    AddressParts parts{"n", "a", "l", "d"};
    const int found = SplitAddress(c.text, parts);
    const std::string all = parts.name + "|" + parts.local + "|" + parts.domain + "|";
    EXPECT_EQ(found ? all + parts.address : "", c.parts);
    if (!found) {
      EXPECT_EQ(parts.name + parts.address, "na") << "a failure leaves the parts";
    }
  }
  AddressParts parts{"n", "a", "l", "d"};
  EXPECT_EQ(SplitAddress("", parts), 0);
  EXPECT_EQ(parts.name + parts.domain, "");
}

// Display names are decoded, also when the field folds between name and address.
TEST(AddressTest, SenderNameAndAddress) {
  const struct {
    std::string from, name, address;
  } cases[] = {
      // clang-format off
      {"=?ISO-2022-JP?B?GyRCJCIbKEI=?= <a@b.example>", "\xE3\x81\x82", "a@b.example"},
      {"\"=?UTF-8?B?5bGx55Sw?=\" <y@b.example>", "\xE5\xB1\xB1\xE7\x94\xB0", "y@b.example"},
      {"=?UTF-8?Q?Jos=C3=A9?=\r\n <j@b.example>", "Jos\xC3\xA9", "j@b.example"},
      {"\"Taro Yamada\"\r\n\t<t@b.example>", "Taro Yamada", "t@b.example"},
      // Not an encoded word: the text stays and the address is still found.
      {"Sale =?50% off <s@b.example>", "Sale =?50% off", "s@b.example"},
      {"<only@address.example>", "", "only@address.example"}, {"Nobody", "", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    CMailMessage message;
    message.Parse(Stored({"From: " + c.from, "", "b"}));
    EXPECT_EQ(message.SenderName(), c.name);
    EXPECT_EQ(message.SenderAddress(), c.address);
    EXPECT_EQ(message.DisplaySender(), c.name.empty() ? c.address : c.name);
  }
  CMailMessage message;
  message.Parse(Stored({"Subject: =?UTF-8?B?5p2l6YCx?= x", "X-Folded: a", " b", "", "body"}));
  EXPECT_EQ(message.Subject(), "\xE6\x9D\xA5\xE9\x80\xB1 x");
  EXPECT_EQ(message.From(), "");
  std::string header = "stale";
  ASSERT_EQ(message.DecodedHeaderText(header), 1);
  EXPECT_EQ(header, "Subject: \xE6\x9D\xA5\xE9\x80\xB1 x\r\nX-Folded: a\r\n b\r\n");
}

TEST(BodyTest, DecodesEachTextPartWithItsOwnEncodingAndCharset) {
  const struct {
    std::string text, body;
  } cases[] = {
      // clang-format off
      // The "." line goes; the line end before it stays.
      {Stored({"A: b", "", "line 1", "line 2"}), "line 1\r\nline 2\r\n"},
      {Stored({"Content-Transfer-Encoding: BASE64", "", "QUJD", "REVG"}), "ABCDEF"},
      {Stored({"Content-Transfer-Encoding: base64; x=y", "", "QUJD"}), "QUJD\r\n"},
      {Stored({"Content-Transfer-Encoding: quoted-printable", "", "a=3D=", "b"}), "a=b\r\n"},
      {Stored({"A: b", "", "\x1B$B$\"\x1B(B"}), "\xE3\x81\x82\r\n"},
      {Stored({"Content-Transfer-Encoding: base64", "", "GyRCJCIbKEI="}), "\xE3\x81\x82"},
      // The declared charset of the message decides; without one, UTF-8 or code page 932.
      {Stored({"Content-Type: text/plain; charset=\"ISO-8859-1\"",
               "Content-Transfer-Encoding: quoted-printable", "", "caf=E9"}), "caf\xC3\xA9\r\n"},
      {Stored({"Content-Type: text/plain; charset=Shift_JIS", "", "\x82\xA0"}), "\xE3\x81\x82\r\n"},
      {Stored({"A: b", "", "\x82\xA0"}), "\xE3\x81\x82\r\n"},
      // Shorter than its header plus the "." line: no body at all, nothing read past the end.
      {Stored({"A: b"}), ""}, {"A: b\r\n\r\nx", ""}, {"A: b\r\n", ""},
      // Parts: each text part on lines of its own; parts that are not text are left out, text
      // attachments and embedded messages are not.
      {Stored({"Content-Type: multipart/alternative; boundary=b", "", "--b",
               "Content-Type: text/plain; charset=utf-8",
               "Content-Transfer-Encoding: quoted-printable", "", "Ol=C3=A1 =", "x", "--b",
               "Content-Type: text/html; charset=iso-8859-1",
               "Content-Transfer-Encoding: base64", "", "PHA+T2zhIDxhIGhyZWY9Ii8v",
               "eC50ZXN0LyI+YXF1aTwvYT48L3A+", "--b--"}),
       "Ol\xC3\xA1 x\r\n<p>Ol\xC3\xA1 <a href=\"//x.test/\">aqui</a></p>"},
      {Stored({"Content-Type: multipart/mixed; boundary=o", "", "preamble", "--o",
               "Content-Type: application/pdf", "Content-Transfer-Encoding: base64", "", "JVBERgAB",
               "--o", "Content-Type: text/plain", "Content-Disposition: attachment; filename=a.txt",
               "", "..dot line", "--o", "Content-Type: message/rfc822", "", "Subject: inner",
               "Content-Type: text/html; charset=shift_jis", "", "\x82\xA0", "--o--", "epilogue"}),
       ".dot line\r\n\xE3\x81\x82"},
      // clang-format on
  };
  for (const auto& c : cases) {
    CMailMessage message;
    message.Parse(c.text);
    std::string out = "stale";
    EXPECT_EQ(message.DecodeBody(out), 1) << c.text;
    EXPECT_EQ(out, c.body) << c.text;
    EXPECT_EQ(message.DecodeBody(), c.body.empty() ? 0 : 1) << c.text;
    EXPECT_EQ(message.Body(), c.body);
  }
  CMailMessage none;  // nothing parsed: no body
  EXPECT_EQ(none.DecodeBody(), 0);
  // A copy keeps the header but neither the body nor the mark.
  CMailMessage message;
  message.Parse(Stored({"Subject: s", "From: N <a@b>", "", "body"}));
  message.DecodeBody();
  message.mark.SetClassification(VerdictSpam, ReasonUrlHostZone);
  const CMailMessage copy(message);
  EXPECT_EQ(copy.Subject() + copy.SenderName() + copy.SenderAddress() + copy.Body(), "sNa@b");
  EXPECT_EQ(copy.mark.flags, CMailMark::FreshFlags);
}

TEST(ReceivedTest, DateOfTheFirstReceivedField) {
  const struct {
    const char* zone;
    std::string text;
    int found;
    std::int64_t seconds;
  } cases[] = {
      // clang-format off
      // Read in Japan time, the instant is exact: 15:00 UTC is 00:00 of the next day in Tokyo.
      {"Asia/Tokyo", Stored({"Received: by x; Mon, 3 Jun 2024 15:00:00 +0000", ""}), 1, 1717426800},
      // Elsewhere the Japan wall-clock time is read as local: 2024-06-04 00:00 UTC.
      {"UTC", Stored({"Received: by x; Mon, 3 Jun 2024 15:00:00 +0000", ""}), 1, 1717459200},
      {"UTC", Stored({"Received: by x;", "\t3 Jun 2024 10:30:15 -0500 (EST)", ""}), 1, 1717461015},
      {"America/New_York", Stored({"Received: by x; 1 Jul 2024 00:00:00 +0900", ""}), 1,
       1719806400},
      {"UTC", Stored({"Received: from nowhere", "Received: by x; 1 Jan 2024 00:00:00 +0900", ""}),
       0, 0},
      {"UTC", Stored({"Date: 1 Jan 2024 00:00:00 +0900", ""}), 0, 0},
      // The day is one or two digits anywhere: "100 Jan" reads as day 00, the last of December.
      {"UTC", Stored({"received: x; 100 Jan 2024 00:00:00 +0900", ""}), 1, 1703980800},
      // clang-format on
  };
  for (const auto& c : cases) {
    test::ScopedTimeZone zone(c.zone);
    CMailMessage message;
    message.Parse(c.text);
    std::int64_t seconds = -7;
    ASSERT_EQ(message.ReceivedDate(seconds), c.found) << c.text;
    EXPECT_EQ(seconds, c.found ? c.seconds : -7) << c.text;
  }
}

// The relay addresses, reversed, and the link hosts, each as a walk over the message.
std::string Walk(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  message.ResetReceivedWalk();
  message.DecodeBody();
  std::string walk;
  for (std::string address; message.NextReceivedAddress(address);) walk += address + " ";
  std::string item;
  EXPECT_EQ(message.NextReceivedAddress(item), 0) << "a finished walk stays finished";
  walk += "|";
  while (message.NextUrlHost(item)) walk += " " + item;
  return walk;
}

TEST(ReceivedTest, RelaysAndLinkHosts) {
  const std::string longHost(2000, 'h');
  const struct {
    std::string text, walk;
  } cases[] = {
      // clang-format off
      {Stored({"Received: from a ([10.1.2.3]) by b", "X: 9.9.9.9",
               "RECEIVED: from c (192.0.2.1) (198.51.100.7~)", ""}),
       "3.2.1.10 1.2.0.192 7.100.51.198 |"},
      {Stored({"Received: from x [999.1.1.1] [127.0.0.1]", ""}), "1.1.1.999 1.0.0.127 |"},
      // A four-digit part ends the field.
      {Stored({"Received: from [1.2.3.4444] [5.6.7.8]", "Received: from [4.3.2.1]", ""}),
       "1.2.3.4 |"},
      {Stored({"Received: from [12345.1.1.1] [5.6.7.8]", ""}), "|"},
      {Stored({"From: a@b 1.2.3.4", ""}), "|"}, {"", "|"},
      {Stored({"Subject: x", "", "see http://a.example/x and https://b-c.example:8080/?q, "
               "HTTP://upper.example http://a.example"}), "| a.example b-c.example a.example"},
      {Stored({"Subject: x", "", "http://user@host.example/ https://[::1]/ http://x_y.example"}),
       "| user x_y.example"},
      {Stored({"Subject: x", "", "http://" + longHost + "/"}), "| " + longHost},
      // Mail whose HTML alternative is base64, as most newsletters and spam are sent: the hosts
      // are read from the decoded parts, plain text first, then the HTML with its attributes;
      // a link found both ways at one place counts once.
      {ToStoredForm(test::ReadFileBytes(QM_TEST_DATA "/base64_html_alternative_links.eml")),
       "9.113.0.203 | plain.example title.example Bank.example Bank.example cdn.evil.test "
       "hidden.evil.test"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(Walk(c.text), c.walk);
  // The walks start again when asked to; the link walk needs the decoded body.
  CMailMessage message;
  message.Parse(Stored({"Received: [1.2.3.4]", "", "http://a.example/"}));
  std::string item;
  EXPECT_EQ(message.NextUrlHost(item), 0);
  for (int round = 0; round < 2; ++round) {
    message.ResetReceivedWalk();
    message.DecodeBody();
    EXPECT_EQ(message.NextReceivedAddress(item) + message.NextUrlHost(item), 2);
    EXPECT_EQ(message.NextReceivedAddress(item) + message.NextUrlHost(item), 0);
  }
}

TEST(StoredFormTest, MessageFilesAsTheMailboxesKeepThem) {
  const struct {
    std::string file, stored;
  } cases[] = {
      // clang-format off
      {"A: b\n\nbody\n", "A: b\r\n\r\nbody\r\n.\r\n"},
      {"A: b\r\n\nbody", "A: b\r\n\r\nbody\r\n.\r\n"},
      {"A: b\n\n.\n..x\n", "A: b\r\n\r\n..\r\n...x\r\n.\r\n"},
      {std::string("A: b\0c\n", 7), "A: b c\r\n.\r\n"}, {"", ".\r\n"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(ToStoredForm(c.file), c.stored);
}

}  // namespace
}  // namespace qm
