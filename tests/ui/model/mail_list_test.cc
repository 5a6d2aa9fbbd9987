#include "ui/model/mail_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "support/scoped_time_zone.h"
#include "ui/model/list_settings.h"
#include "ui/model/mail_rows.h"

namespace qm {
namespace {

using Ints = std::vector<int>;

TEST(MailRowTest, ImagesFromTheMarkAndTheVerdict) {
  // Verdict, reason and unused bits play no part in the state.
  const std::uint32_t opened = CMailMark::MarkOpened, hidden = CMailMark::MarkHidden;
  std::string images;
  for (std::uint32_t flags :
       {opened, opened | hidden, 0u, hidden, 0xFFFFFFFCu | opened, CMailMark::FreshFlags})
    images += std::to_string(StateImage(flags)) + " ";
  // Verdicts no classifier writes must not index past the image list.
  for (int verdict = -4; verdict <= 4; ++verdict) images += std::to_string(VerdictImage(verdict));
  EXPECT_EQ(images, "0 1 2 3 0 2 -1-1-1-10123-1");
}

// Numbers and reasons as numbers (no digits count as 0), texts byte by byte, so that multi-byte
// characters sort after ASCII; reversed the other way round; no order for a column not shown.
TEST(MailRowTest, ComparesAndReverses) {
  const struct {
    int column;
    const char *a, *b;
    int order;
  } cases[] = {{ColumnNumber, "9", "10", -1},
               {ColumnDetail, "x", "0", 0},
               {ColumnDetail, "6", "", 1},
               {ColumnSubject, "B", "a", -1},
               {ColumnSenderName, "\xE3\x81\x82", "z", 1},
               {6, "a", "b", 0}};
  for (const auto& c : cases) {
    MailListRow a, b;
    if (c.column < kMailColumnCount) a.texts[c.column] = c.a, b.texts[c.column] = c.b;
    EXPECT_EQ(CompareRows(a, b, c.column, false) * 10 + CompareRows(a, b, c.column, true),
              c.order * 9)
        << c.a << " " << c.b;
  }
}

TEST(MailRowTest, ColumnsFromTheSummaryWithTheLocalDateYearFirst) {
  MailSummary summary;
  summary.reason = ReasonBadList;
  summary.subject = "件名";
  summary.senderAddress = "a@example.org";
  std::string dates;
  for (const char* zone : {"UTC0", "JST-9", "EST5"}) {
    test::ScopedTimeZone local(zone);
    dates += MakeMailListRow(1, summary, 0).texts[ColumnDate] + "|";
  }
  EXPECT_EQ(dates, "1970 01/01 00:00:00|1970 01/01 09:00:00|1969 12/31 19:00:00|");
  summary.received = 1743469200;
  const MailListRow row = MakeMailListRow(12, summary, CMailMark::MarkOpened);
  EXPECT_EQ(row.texts, (std::array<std::string, kMailColumnCount>{
                           "12", "2", "件名", "", "a@example.org", "2025 04/01 01:00:00"}));
}

// Every character `charWidth` pixels wide, headings 20 more for the sort indicator.
ColumnWidths FittedFor(int charWidth) {
  const auto width = [charWidth](std::string_view text) {
    return static_cast<int>(text.size()) * charWidth;
  };
  return FitDefaultWidths(
      {[width](std::string_view text) { return width(text) + 20; }, width, 10, 36});
}

TEST(ListSettingsTest, WidthsAreSixNumbersAndTheFittedOnesKeepTheListsWidth) {
  const std::pair<const char*, ColumnWidths> cases[] = {
      {"", {0, 0, 0, 0, 0, 0}},
      {"1,2,3,4,5,6,7", {1, 2, 3, 4, 5, 6}},
      {" 7px,,abc,12,5,", {7, 0, 0, 12, 5, 0}},
      {"-40,99999999999,3", {0, INT_MAX, 3, 0, 0, 0}}};
  for (const auto& [text, widths] : cases) EXPECT_EQ(ParseColumnWidths(text), widths) << text;
  // The number with its pictures, the "Detail" heading and the date grow by 16, 36 and 4; the
  // subject and the address give 28 each, but never their headings.
  EXPECT_EQ(FittedFor(6), (ColumnWidths{76, 66, 212, 130, 212, 124}));
  EXPECT_EQ(FittedFor(40), (ColumnWidths{246, 270, 310, 510, 510, 770}));
}

class MailListTest : public test::MailboxSetTest {
 protected:
  CMailboxSet set{profile};
  CMailListModel list{set};
};

TEST_F(MailListTest, AllSixWidthsAreWrittenAndAStoredOrderOutOfRangeFallsBack) {
  ASSERT_TRUE(SaveColumnWidths(profile, ParseColumnWidths("80,40")));
  EXPECT_EQ(profile.GetString("Geometry", "ColSizes", ""), "80,40,0,0,0,0");
  ASSERT_TRUE(profile.WriteInt("MailList", "Sort", 6));
  ASSERT_TRUE(profile.WriteInt("MailList", "Reverse", 2));
  const MailListSort sort = LoadMailListSort(profile);
  EXPECT_TRUE(sort.column == 0 && sort.reverse);
}

TEST_F(MailListTest, SelectionGivesRowsTopToBottomAndRemovingARowNumbersTheLaterMailsDown) {
  ASSERT_EQ(set.Add("a"), 0);
  for (const char* subject : {"m1", "m2", "m3", "m4", "m5"}) Add(*set.Get(0), subject);
  list.SetSort({ColumnNumber, true});  // rows 0..4 hold mails 5..1
  list.SelectMailbox(0);
  const struct {
    Ints selected, rows, numbers;
  } cases[] = {{{}, {}, {}}, {{4, 0, 2}, {0, 2, 4}, {5, 3, 1}}, {{2, 2, -1, 5, 1}, {1, 2}, {4, 3}}};
  for (const auto& c : cases) {
    Ints numbers{99}, rows{99};
    EXPECT_EQ(list.GetSelectedMails(c.selected, numbers, rows), static_cast<int>(c.rows.size()));
    EXPECT_EQ(std::pair(rows, numbers), std::pair(c.rows, c.numbers));
  }
  EXPECT_EQ(list.RemoveRow(3), 2);
  std::string shown;
  for (const MailListRow& row : list.Rows())
    shown += row.texts[ColumnNumber] + ":" + row.texts[ColumnSubject] + " ";
  EXPECT_EQ(shown, "4:m5 3:m4 2:m2 1:m1 ");
  EXPECT_EQ(list.FindRow(4), 0);
  EXPECT_EQ(list.RemoveRow(9) + list.RemoveRow(0), -2);
  EXPECT_EQ(list.SetRowState(4, 0) + list.SetRowClass(-1, 0) + list.SetRowClassAndReason(4, 0, 0),
            0);
}

}  // namespace
}  // namespace qm
