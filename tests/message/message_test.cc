#include <gtest/gtest.h>

#include <string>

#include "message/mail_message.h"
#include "stored_text.h"

namespace qm {
namespace {

using test::Stored;

struct SplitCase {
  const char* name;
  const char* text;
  int result;
  const char* displayName;
  const char* local;
  const char* domain;
};

class SplitAddressTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitAddressTest, Splits) {
  const SplitCase& c = GetParam();
  AddressParts parts{"old", "old", "old", "old"};
  ASSERT_EQ(SplitAddress(c.text, parts), c.result);
  if (c.result == 0) return;
  EXPECT_EQ(parts.name, c.displayName);
  EXPECT_EQ(parts.local, c.local);
  EXPECT_EQ(parts.domain, c.domain);
  EXPECT_EQ(parts.address, std::string(c.local) + "@" + c.domain);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SplitAddressTest,
    ::testing::Values(SplitCase{"QuotedName", "\"Taro Yamada\" <taro@example.jp>", 1, "Taro Yamada",
                                "taro", "example.jp"},
                      SplitCase{"NameStrippedOfBlanksAndQuotes", " \t\"Name\"\t <a@b>", 1, "Name",
                                "a", "b"},
                      SplitCase{"AngleOnly", "<a@b.example>", 1, "", "a", "b.example"},
                      SplitCase{"Bare", "a@b.example", 1, "", "a", "b.example"},
                      // Greedy groups: the last "@" and the last bracket pair with an "@" decide.
                      SplitCase{"BareTwoAts", "a@b@c", 1, "", "a@b", "c"},
                      SplitCase{"TwoBracketPairs", "A <x@y> B <p@q>", 1, "A <x@y> B", "p", "q"},
                      SplitCase{"NoAt", "undisclosed recipients", 0, "", "", ""},
                      SplitCase{"BracketsWithoutAt", "Name <nobody>", 0, "", "", ""}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(SplitAddressTest, FailureLeavesPartsAndEmptyTextClearsThem) {
  AddressParts parts{"n", "a", "l", "d"};
  EXPECT_EQ(SplitAddress("nothing here", parts), 0);
  EXPECT_EQ(parts.name, "n");
  EXPECT_EQ(parts.address, "a");
  EXPECT_EQ(SplitAddress("", parts), 0);
  EXPECT_EQ(parts.name, "");
  EXPECT_EQ(parts.domain, "");
}

struct SenderCase {
  const char* name;
  std::string from;
  std::string senderName;
  std::string senderAddress;
};

class SenderTest : public ::testing::TestWithParam<SenderCase> {};

// Display names are decoded, also when the field folds between name and address.
TEST_P(SenderTest, NameAndAddress) {
  CMailMessage message;
  message.Parse(Stored({"From: " + GetParam().from, "", "b"}));
  EXPECT_EQ(message.SenderName(), GetParam().senderName);
  EXPECT_EQ(message.SenderAddress(), GetParam().senderAddress);
  EXPECT_EQ(message.DisplaySender(),
            GetParam().senderName.empty() ? GetParam().senderAddress : GetParam().senderName);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SenderTest,
    ::testing::Values(SenderCase{"Jis", "=?ISO-2022-JP?B?GyRCJCIbKEI=?= <a@b.example>",
                                 "\xE3\x81\x82", "a@b.example"},
                      SenderCase{"Utf8Quoted", "\"=?UTF-8?B?5bGx55Sw?=\" <y@b.example>",
                                 "\xE5\xB1\xB1\xE7\x94\xB0", "y@b.example"},
                      SenderCase{"Utf8Folded", "=?UTF-8?Q?Jos=C3=A9?=\r\n <j@b.example>",
                                 "Jos\xC3\xA9", "j@b.example"},
                      SenderCase{"PlainFolded", "\"Taro Yamada\"\r\n\t<t@b.example>", "Taro Yamada",
                                 "t@b.example"},
                      // Not an encoded word: the text stays and the address is still found.
                      SenderCase{"MalformedWordStays", "Sale =?50% off <s@b.example>",
                                 "Sale =?50% off", "s@b.example"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(MailMessageTest, ParseDecodesSubjectAndFrom) {
  CMailMessage message;
  ASSERT_EQ(message.Parse(Stored({"Subject: =?UTF-8?B?5p2l6YCx44Gu5Lya6K2w44Gr44Gk44GE44Gm?=",
                                  "From: =?ISO-2022-JP?B?GyRCJCIbKEI=?= <a@b.example>", "", "b"})),
            1);
  EXPECT_EQ(message.Subject(), "来週の会議について");
  EXPECT_EQ(message.From(), "\xE3\x81\x82 <a@b.example>");
}

TEST(MailMessageTest, SenderWithoutNameOrAddress) {
  CMailMessage message;
  message.Parse(Stored({"From: <only@address.example>", ""}));
  EXPECT_EQ(message.SenderName(), "");
  EXPECT_EQ(message.DisplaySender(), "only@address.example");

  message.Parse(Stored({"From: Nobody", ""}));
  EXPECT_EQ(message.From(), "Nobody");
  EXPECT_EQ(message.SenderName(), "");
  EXPECT_EQ(message.SenderAddress(), "");
  EXPECT_EQ(message.DisplaySender(), "");

  message.Parse(Stored({"Subject: none", ""}));
  EXPECT_EQ(message.From(), "");
  EXPECT_EQ(message.Subject(), "none");
}

TEST(MailMessageTest, DecodedHeaderTextListsEveryFieldDecoded) {
  CMailMessage message;
  message.Parse(
      Stored({"Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?=", "X-Folded: a", " b", "", "body"}));
  std::string header = "stale";
  ASSERT_EQ(message.DecodedHeaderText(header), 1);
  EXPECT_EQ(header, "Subject: \xE3\x81\x82\r\nX-Folded: a\r\n b\r\n");
}

struct BodyCase {
  const char* name;
  std::string text;
  std::string body;
};

class DecodeBodyTest : public ::testing::TestWithParam<BodyCase> {};

TEST_P(DecodeBodyTest, Decodes) {
  CMailMessage message;
  message.Parse(GetParam().text);
  std::string out;
  ASSERT_EQ(message.DecodeBody(out), 1);
  EXPECT_EQ(out, GetParam().body);
  EXPECT_EQ(message.DecodeBody(), GetParam().body.empty() ? 0 : 1);
  EXPECT_EQ(message.Body(), GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, DecodeBodyTest,
    ::testing::Values(
        // The "." line goes; the line end before it stays.
        BodyCase{"Plain", Stored({"A: b", "", "line 1", "line 2"}), "line 1\r\nline 2\r\n"},
        BodyCase{"Base64", Stored({"Content-Transfer-Encoding: base64", "", "QUJD", "REVG"}),
                 "ABCDEF"},
        BodyCase{"Base64InCapitals", Stored({"Content-Transfer-Encoding: BASE64", "", "QUJD"}),
                 "ABC"},
        BodyCase{"ValueWithParameterIsNotDecoded",
                 Stored({"Content-Transfer-Encoding: base64; x=y", "", "QUJD"}), "QUJD\r\n"},
        BodyCase{"QuotedPrintable",
                 Stored({"Content-Transfer-Encoding: quoted-printable", "", "a=3D=", "b"}),
                 "a=b\r\n"},
        BodyCase{"Jis", Stored({"A: b", "", "\x1B$B$\"\x1B(B"}), "\xE3\x81\x82\r\n"},
        BodyCase{"Base64OfJis", Stored({"Content-Transfer-Encoding: base64", "", "GyRCJCIbKEI="}),
                 "\xE3\x81\x82"},
        // The declared charset of the message decides; without one, UTF-8 or code page 932.
        BodyCase{"QuotedPrintableLatin1",
                 Stored({"Content-Type: text/plain; charset=\"ISO-8859-1\"",
                         "Content-Transfer-Encoding: quoted-printable", "", "caf=E9"}),
                 "caf\xC3\xA9\r\n"},
        BodyCase{"Base64EucJp",
                 Stored({"Content-Type: text/plain; charset=euc-jp",
                         "Content-Transfer-Encoding: base64", "", "xvzL3A=="}),
                 "\xE6\x97\xA5\xE6\x9C\xAC"},
        BodyCase{"EightBitShiftJis",
                 Stored({"Content-Type: text/plain; charset=Shift_JIS", "", "\x82\xA0"}),
                 "\xE3\x81\x82\r\n"},
        BodyCase{"UndeclaredUtf8", Stored({"A: b", "", "\xE3\x81\x82"}), "\xE3\x81\x82\r\n"},
        BodyCase{"UndeclaredCodePage932", Stored({"A: b", "", "\x82\xA0"}), "\xE3\x81\x82\r\n"},
        BodyCase{"InvalidUtf8", Stored({"Content-Type: text/plain; charset=utf-8", "", "a\xFF"}),
                 "a\xEF\xBF\xBD\r\n"},
        BodyCase{"HeaderOnly", Stored({"A: b"}), ""},
        // Shorter than its header plus the "." line: no body at all, nothing read past the end.
        BodyCase{"TruncatedTerminator", "A: b\r\n\r\nx", ""},
        BodyCase{"NoHeaderEnd", "A: b\r\n", ""},
        // Parts: each text part with its own encoding and charset, each on lines of its own;
        // parts that are not text are left out, text attachments and embedded messages are not.
        BodyCase{"AlternativeWithBase64Html",
                 Stored({"Content-Type: multipart/alternative; boundary=b", "", "--b",
                         "Content-Type: text/plain; charset=utf-8",
                         "Content-Transfer-Encoding: quoted-printable", "", "Ol=C3=A1 =", "x",
                         "--b", "Content-Type: text/html; charset=iso-8859-1",
                         "Content-Transfer-Encoding: base64", "", "PHA+T2zhIDxhIGhyZWY9Ii8v",
                         "eC50ZXN0LyI+YXF1aTwvYT48L3A+", "--b--"}),
                 "Ol\xC3\xA1 x\r\n<p>Ol\xC3\xA1 <a href=\"//x.test/\">aqui</a></p>"},
        BodyCase{"MixedAttachmentsAndEmbeddedMessage",
                 Stored({"Content-Type: multipart/mixed; boundary=o",
                         "",
                         "preamble",
                         "--o",
                         "Content-Type: application/pdf",
                         "Content-Transfer-Encoding: base64",
                         "",
                         "JVBERgAB",
                         "--o",
                         "Content-Type: text/plain",
                         "Content-Disposition: attachment; filename=a.txt",
                         "",
                         "..dot line",
                         "--o",
                         "Content-Type: message/rfc822",
                         "",
                         "Subject: inner",
                         "Content-Type: text/html; charset=shift_jis",
                         "",
                         "\x82\xA0",
                         "--o--",
                         "epilogue"}),
                 ".dot line\r\n\xE3\x81\x82"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(MailMessageTest, WithoutTextThereIsNoBody) {
  CMailMessage message;
  std::string out = "stale";
  EXPECT_EQ(message.DecodeBody(out), 0);
  EXPECT_EQ(message.DecodeBody(), 0);
}

TEST(MailMessageTest, CopyKeepsHeaderButNotBodyOrMark) {
  CMailMessage message;
  message.Parse(Stored({"Subject: s", "From: N <a@b>", "", "body"}));
  message.DecodeBody();
  message.mark.SetClassification(VerdictSpam, ReasonUrlHostZone);
  const CMailMessage copy(message);
  EXPECT_EQ(copy.Subject(), "s");
  EXPECT_EQ(copy.SenderName(), "N");
  EXPECT_EQ(copy.SenderAddress(), "a@b");
  EXPECT_EQ(copy.Text(), message.Text());
  EXPECT_EQ(copy.Body(), "");
  EXPECT_EQ(copy.mark.flags, CMailMark::FreshFlags);
}

}  // namespace
}  // namespace qm
