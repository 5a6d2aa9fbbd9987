#include "ui/model/list_settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "mailboxes/mailbox_set_fixture.h"
#include "support/scoped_time_zone.h"
#include "ui/model/mail_rows.h"

namespace qm {
namespace {

// ---- Row pieces ----

struct StateCase {
  std::uint32_t flags;
  int image;
};
class StateImageTest : public ::testing::TestWithParam<StateCase> {};
TEST_P(StateImageTest, FromHiddenAndOpened) {
  EXPECT_EQ(StateImage(GetParam().flags), GetParam().image);
}
INSTANTIATE_TEST_SUITE_P(Flags, StateImageTest,
                         ::testing::Values(StateCase{CMailMark::MarkOpened, 0},
                                           StateCase{CMailMark::MarkOpened | 1u, 1},
                                           StateCase{0, 2}, StateCase{CMailMark::MarkHidden, 3},
                                           // Verdict, reason and unused bits play no part.
                                           StateCase{0xFFFFFFFCu | CMailMark::MarkOpened, 0},
                                           StateCase{CMailMark::FreshFlags, 2}));

TEST(VerdictImageTest, OnlyTheFourListIconsAreDrawn) {
  EXPECT_EQ(VerdictImage(VerdictOther), -1);
  EXPECT_EQ(VerdictImage(VerdictFriend), 0);
  EXPECT_EQ(VerdictImage(VerdictSpam), 1);
  EXPECT_EQ(VerdictImage(VerdictBad), 2);
  EXPECT_EQ(VerdictImage(VerdictUnclassified), 3);
  // Bits no classifier writes must not index past the image list.
  EXPECT_EQ(VerdictImage(-4), -1);
  EXPECT_EQ(VerdictImage(4), -1);
}

struct CompareCase {
  int column;
  const char* a;
  const char* b;
  int order;
};
class CompareTest : public ::testing::TestWithParam<CompareCase> {};
TEST_P(CompareTest, OrdersAndReverses) {
  const CompareCase& c = GetParam();
  MailListRow a;
  MailListRow b;
  if (c.column >= 0 && c.column < kMailColumnCount) {
    a.texts[static_cast<std::size_t>(c.column)] = c.a;
    b.texts[static_cast<std::size_t>(c.column)] = c.b;
  }
  EXPECT_EQ(CompareRows(a, b, c.column, false), c.order);
  EXPECT_EQ(CompareRows(a, b, c.column, true), -c.order);
}
INSTANTIATE_TEST_SUITE_P(
    Columns, CompareTest,
    ::testing::Values(CompareCase{ColumnNumber, "9", "10", -1},
                      CompareCase{ColumnNumber, "12", "12", 0},
                      CompareCase{ColumnDetail, "x", "0", 0},  // no digits count as 0
                      CompareCase{ColumnDetail, "6", "", 1},
                      CompareCase{ColumnSubject, "10", "9", -1},  // text, not numbers
                      CompareCase{ColumnSubject, "B", "a", -1},
                      // Multi-byte characters sort after ASCII, byte by byte.
                      CompareCase{ColumnSenderName, "\xE3\x81\x82", "z", 1},
                      CompareCase{ColumnSenderAddress, "a@b", "a@b", 0},
                      CompareCase{ColumnDate, "2024 12/31 23:59:59", "2025 01/01 00:00:00", -1},
                      CompareCase{6, "a", "b", 0}));

TEST(LeadingIntTest, ReadsLikeAtoiWithoutOverflow) {
  EXPECT_EQ(LeadingInt(" 42px"), 42);
  EXPECT_EQ(LeadingInt("-7"), -7);
  EXPECT_EQ(LeadingInt("+3"), 3);
  EXPECT_EQ(LeadingInt("x1"), 0);
  EXPECT_EQ(LeadingInt(""), 0);
  EXPECT_EQ(LeadingInt("99999999999999999999"), INT_MAX);
  EXPECT_EQ(LeadingInt("-99999999999999999999"), INT_MIN);
}

struct DateCase {
  const char* zone;
  std::int64_t received;
  const char* text;
};
class DateTextTest : public ::testing::TestWithParam<DateCase> {};
TEST_P(DateTextTest, LocalTimeYearFirst) {
  test::ScopedTimeZone zone(GetParam().zone);
  MailSummary summary;
  summary.received = GetParam().received;
  EXPECT_EQ(MakeMailListRow(1, summary, 0).texts[ColumnDate], GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(Zones, DateTextTest,
                         ::testing::Values(DateCase{"UTC0", 0,
                                                    "1970 01/01 00:00:00"},  // no Received field
                                           DateCase{"JST-9", 0, "1970 01/01 09:00:00"},
                                           DateCase{"EST5", 0, "1969 12/31 19:00:00"},
                                           DateCase{"UTC0", 1743469200, "2025 04/01 01:00:00"}));

TEST(MailRowTest, ColumnsFromTheSummary) {
  MailSummary summary;
  summary.verdict = VerdictBad;
  summary.reason = ReasonBadList;
  summary.subject = "件名";
  summary.senderName = "Name";
  summary.senderAddress = "a@example.org";
  const MailListRow row = MakeMailListRow(12, summary, CMailMark::MarkOpened);
  EXPECT_EQ(row.number, 12);
  EXPECT_EQ(row.verdictImage, VerdictBad);
  EXPECT_EQ(row.stateImage, 0);
  EXPECT_EQ(row.texts[ColumnNumber], "12");
  EXPECT_EQ(row.texts[ColumnDetail], "2");
  EXPECT_EQ(row.texts[ColumnSubject], summary.subject);
  EXPECT_EQ(row.texts[ColumnSenderName], "Name");
  EXPECT_EQ(row.texts[ColumnSenderAddress], "a@example.org");
}

// ---- Settings ----

struct WidthsCase {
  const char* text;
  ColumnWidths widths;
};
class ParseWidthsTest : public ::testing::TestWithParam<WidthsCase> {};
TEST_P(ParseWidthsTest, SixPiecesMissingOnesZero) {
  EXPECT_EQ(ParseColumnWidths(GetParam().text), GetParam().widths);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, ParseWidthsTest,
    ::testing::Values(WidthsCase{"60,30,240,130,240,120", {60, 30, 240, 130, 240, 120}},
                      WidthsCase{"100,50", {100, 50, 0, 0, 0, 0}},
                      WidthsCase{"", {0, 0, 0, 0, 0, 0}},
                      WidthsCase{"1,2,3,4,5,6,7", {1, 2, 3, 4, 5, 6}},
                      WidthsCase{" 7px,,abc,12,5,", {7, 0, 0, 12, 5, 0}},
                      WidthsCase{"-40,99999999999,3", {0, INT_MAX, 3, 0, 0, 0}}));

TEST(FormatWidthsTest, SixNumbersWithCommas) {
  EXPECT_EQ(FormatColumnWidths({60, 30, 240, 130, 240, 120}), "60,30,240,130,240,120");
  EXPECT_EQ(FormatColumnWidths({100, 50, 0, 0, 0, 0}), "100,50,0,0,0,0");
}

// Every character `charWidth` pixels wide, headings 20 more for the sort indicator.
ColumnWidths FittedFor(int charWidth) {
  const auto width = [charWidth](std::string_view text) {
    return static_cast<int>(text.size()) * charWidth;
  };
  return FitDefaultWidths(
      {[width](std::string_view text) { return width(text) + 20; }, width, 10, 36});
}

TEST(FitDefaultWidthsTest, EveryHeadingAndSampleFitsAndTheListKeepsItsWidth) {
  // The number with its pictures, the "Detail" heading and the date grow by 16, 36 and 4; the
  // subject and the address give 28 each.
  EXPECT_EQ(FittedFor(6), (ColumnWidths{76, 66, 212, 130, 212, 124}));
  // Neither gives up its heading.
  EXPECT_EQ(FittedFor(40), (ColumnWidths{246, 270, 310, 510, 510, 770}));
}

using ListSettingsTest = test::MailboxSetTest;

TEST_F(ListSettingsTest, DefaultsWithoutASettingsFile) {
  EXPECT_FALSE(ColumnWidthsSaved(profile));
  EXPECT_EQ(LoadColumnWidths(profile), (ColumnWidths{60, 30, 240, 130, 240, 120}));
  const MailListSort sort = LoadMailListSort(profile);
  EXPECT_EQ(sort.column, 0);
  EXPECT_FALSE(sort.reverse);
  EXPECT_FALSE(LoadEmptyAddressIsBad(profile));
}

TEST_F(ListSettingsTest, TwoWidthsLoadAndAllSixAreWritten) {
  ASSERT_TRUE(profile.WriteString("Geometry", "ColSizes", "80,40"));
  EXPECT_TRUE(ColumnWidthsSaved(profile));
  const ColumnWidths widths = LoadColumnWidths(profile);
  EXPECT_EQ(widths, (ColumnWidths{80, 40, 0, 0, 0, 0}));
  ASSERT_TRUE(SaveColumnWidths(profile, widths));
  EXPECT_EQ(profile.GetString("Geometry", "ColSizes", ""), "80,40,0,0,0,0");
}

TEST_F(ListSettingsTest, SortRoundTripsAndOutOfRangeFallsBack) {
  ASSERT_TRUE(SaveMailListSort(profile, {ColumnDate, true}));
  EXPECT_EQ(profile.GetInt("MailList", "Reverse", 9), 1);
  MailListSort sort = LoadMailListSort(profile);
  EXPECT_EQ(sort.column, ColumnDate);
  EXPECT_TRUE(sort.reverse);

  ASSERT_TRUE(profile.WriteInt("MailList", "Sort", 6));
  ASSERT_TRUE(profile.WriteInt("MailList", "Reverse", 2));
  sort = LoadMailListSort(profile);
  EXPECT_EQ(sort.column, 0);
  EXPECT_TRUE(sort.reverse);

  ASSERT_TRUE(profile.WriteInt("ProcessMail", "AddEmptyAddrToBadlist", 1));
  EXPECT_TRUE(LoadEmptyAddressIsBad(profile));
}

}  // namespace
}  // namespace qm
