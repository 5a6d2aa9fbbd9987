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

TEST(MailMessageTest, ParseDecodesSubjectAndSender) {
  CMailMessage message;
  ASSERT_EQ(message.Parse(Stored({"Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?= news",
                                  "From: =?ISO-2022-JP?B?GyRCJCIbKEI=?= <a@b.example>", "", "b"})),
            1);
  EXPECT_EQ(message.Subject(), "\x82\xA0 news");
  EXPECT_EQ(message.From(), "\x82\xA0 <a@b.example>");
  EXPECT_EQ(message.SenderName(), "\x82\xA0");
  EXPECT_EQ(message.SenderAddress(), "a@b.example");
  EXPECT_EQ(message.DisplaySender(), "\x82\xA0");
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
  EXPECT_EQ(header, "Subject: \x82\xA0\r\nX-Folded: a\r\n b\r\n");
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
        BodyCase{"Jis", Stored({"A: b", "", "\x1B$B$\"\x1B(B"}), "\x82\xA0\r\n"},
        BodyCase{"Base64OfJis", Stored({"Content-Transfer-Encoding: base64", "", "GyRCJCIbKEI="}),
                 "\x82\xA0"},
        BodyCase{"HeaderOnly", Stored({"A: b"}), ""},
        // Shorter than its header plus the "." line: no body at all, nothing read past the end.
        BodyCase{"TruncatedTerminator", "A: b\r\n\r\nx", ""},
        BodyCase{"NoHeaderEnd", "A: b\r\n", ""}),
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
