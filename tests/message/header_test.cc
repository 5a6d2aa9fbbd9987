#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/mail_header.h"
#include "stored_text.h"

namespace qm {
namespace {

using test::Stored;

struct HeaderCase {
  const char* name;
  std::string text;
  std::vector<std::pair<std::string, std::string>> fields;
  std::size_t headerLength;
};

class HeaderParseTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderParseTest, FieldsAndHeaderLength) {
  const HeaderCase& c = GetParam();
  MailHeader header;
  header.SetText(c.text);
  ASSERT_EQ(header.FieldNames().size(), c.fields.size());
  for (std::size_t i = 0; i < c.fields.size(); ++i) {
    EXPECT_EQ(header.FieldNames()[i], c.fields[i].first) << i;
    EXPECT_EQ(header.FieldValues()[i], c.fields[i].second) << i;
  }
  EXPECT_EQ(header.HeaderLength(), c.headerLength);
}

const std::string kFolded = Stored({"Subject: first", " second", "", "body"});
const std::string kBareLf = "A: 1\r\nfoo\nB: 2\r\n\r\nbody";

INSTANTIATE_TEST_SUITE_P(
    Shapes, HeaderParseTest,
    ::testing::Values(
        // Folding is kept: the inner CR LF and the blank stay in the value.
        HeaderCase{"Folded", kFolded, {{"Subject", "first\r\n second"}}, kFolded.find("body")},
        HeaderCase{"TrimmedValueKeptName",
                   Stored({"X-Name :  \t value \t ", "", "b"}),
                   {{"X-Name ", "value"}},
                   24},
        HeaderCase{"FieldThenNothing", "From: a@b\r\n", {{"From", "a@b"}}, 11},
        HeaderCase{"LastFieldWithoutLineEndIsDropped", "A: 1\r\nB: 2", {{"A", "1"}}, 10},
        HeaderCase{"StartsWithEmptyLine", Stored({"", "A: b"}), {}, 0},
        HeaderCase{
            "LineWithoutColonEndsHeader", "A: 1\r\nno colon\r\nB: 2\r\n\r\n", {{"A", "1"}}, 6},
        // A bare LF before the colon ends the header at the start of that line...
        HeaderCase{"BareLfBeforeColon", kBareLf, {{"A", "1"}}, 6},
        // ...but inside a value it is ordinary content, and so is a bare CR.
        HeaderCase{"BareLfAndCrInValue", "A: x\ny\rz\r\n\r\nb", {{"A", "x\ny\rz"}}, 12},
        HeaderCase{"NameRunsToEnd", "A: 1\r\nBBBB", {{"A", "1"}}, 10},
        HeaderCase{"Empty", "", {}, 0},
        HeaderCase{"EmptyValue", "A:\r\nB:  \r\n\r\n", {{"A", ""}, {"B", ""}}, 12},
        HeaderCase{
            "TabFolding", "A: 1\r\n\t2\r\nB: 3\r\n\r\n", {{"A", "1\r\n\t2"}, {"B", "3"}}, 18},
        // A NUL ends the text: nothing after it is part of the message.
        HeaderCase{"NulEndsText", std::string("A: 1\r\n\0B: 2\r\n\r\n", 15), {{"A", "1"}}, 6}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(HeaderTest, LookupIgnoresCaseAndTakesTheFirst) {
  MailHeader header;
  header.SetText(Stored({"SUBJECT: one", "subject: two", "", ""}));
  std::string value;
  ASSERT_EQ(header.GetField("Subject", value), 1);
  EXPECT_EQ(value, "one");
  ASSERT_EQ(header.GetField("subject", value), 1);
  EXPECT_EQ(value, "one");
}

TEST(HeaderTest, NameWithBlankBeforeColonIsNotFoundWithoutIt) {
  MailHeader header;
  header.SetText(Stored({"Subject : x", ""}));
  std::string value = "stale";
  EXPECT_EQ(header.GetField("Subject", value), 0);
  EXPECT_EQ(value, "");
  EXPECT_EQ(header.GetField("subject ", value), 1);
}

TEST(HeaderTest, NoTextFindsNothingAndLeavesTheOutputAlone) {
  MailHeader header;
  std::string value = "untouched";
  EXPECT_EQ(header.GetField("From", value), 0);
  EXPECT_EQ(value, "untouched");
  header.SetText("From: a\r\n\r\n");
  header.Reset();
  EXPECT_FALSE(header.HasText());
  EXPECT_EQ(header.GetField("From", value), 0);
  EXPECT_EQ(value, "untouched");
}

TEST(HeaderTest, LowerCasingLeavesSecondBytesOfJapaneseCharactersAlone) {
  // 0x83 0x41 and 0x83 0x61 are two different katakana; lower-casing the trail byte would make
  // them equal.
  MailHeader header;
  header.SetText("X-\x83\x41: kana\r\n\r\n");
  std::string value;
  EXPECT_EQ(header.GetField("x-\x83\x61", value), 0);
  EXPECT_EQ(header.GetField("x-\x83\x41", value), 1);
  EXPECT_EQ(LowerAscii932("AB\x83\x41Z"), "ab\x83\x41z");
}

TEST(HeaderTest, SettingNewTextStartsAfresh) {
  MailHeader header;
  header.SetText("A: 1\r\n\r\n");
  ASSERT_EQ(header.FieldNames().size(), 1u);
  header.SetText("B: 2\r\nC: 3\r\n\r\n");
  std::string value;
  EXPECT_EQ(header.GetField("A", value), 0);
  EXPECT_EQ(header.GetField("C", value), 1);
  EXPECT_EQ(value, "3");
  MailHeader copy = header;
  EXPECT_EQ(copy.GetField("B", value), 1);
  EXPECT_EQ(copy.HeaderLength(), header.HeaderLength());
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

}  // namespace
}  // namespace qm
