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

using Texts = std::vector<std::string>;
using Ints = std::vector<int>;

// ---- Row pieces ----

TEST(MailRowTest, ImagesFromTheMarkAndTheVerdict) {
  const std::pair<std::uint32_t, int> states[] = {
      {CMailMark::MarkOpened, 0},
      {CMailMark::MarkOpened | CMailMark::MarkHidden, 1},
      {0, 2},
      {CMailMark::MarkHidden, 3},
      // Verdict, reason and unused bits play no part.
      {0xFFFFFFFCu | CMailMark::MarkOpened, 0},
      {CMailMark::FreshFlags, 2}};
  for (const auto& [flags, image] : states) EXPECT_EQ(StateImage(flags), image) << flags;
  // Bits no classifier writes must not index past the image list.
  for (const auto& [verdict, image] : std::vector<std::pair<int, int>>{{VerdictOther, -1},
                                                                       {VerdictFriend, 0},
                                                                       {VerdictSpam, 1},
                                                                       {VerdictBad, 2},
                                                                       {VerdictUnclassified, 3},
                                                                       {-4, -1},
                                                                       {4, -1}})
    EXPECT_EQ(VerdictImage(verdict), image) << verdict;
}

TEST(MailRowTest, ComparesNumbersAsNumbersTextsByteByByteAndReverses) {
  const struct {
    int column;
    const char *a, *b;
    int order;
  } cases[] = {{ColumnNumber, "9", "10", -1},
               {ColumnNumber, "12", "12", 0},
               {ColumnDetail, "x", "0", 0},  // no digits count as 0
               {ColumnDetail, "6", "", 1},
               {ColumnSubject, "10", "9", -1},
               {ColumnSubject, "B", "a", -1},
               {ColumnSenderName, "\xE3\x81\x82", "z", 1},
               {ColumnDate, "2024 12/31 23:59:59", "2025 01/01 00:00:00", -1},
               {6, "a", "b", 0}};
  for (const auto& c : cases) {
    MailListRow a, b;
    if (c.column < kMailColumnCount) a.texts[c.column] = c.a, b.texts[c.column] = c.b;
    EXPECT_EQ(CompareRows(a, b, c.column, false), c.order) << c.a << " " << c.b;
    EXPECT_EQ(CompareRows(a, b, c.column, true), -c.order) << c.a << " " << c.b;
  }
}

TEST(MailRowTest, LeadingIntReadsLikeAtoiWithoutOverflow) {
  const std::pair<const char*, int> cases[] = {{" 42px", 42},
                                               {"-7", -7},
                                               {"+3", 3},
                                               {"x1", 0},
                                               {"", 0},
                                               {"99999999999999999999", INT_MAX},
                                               {"-99999999999999999999", INT_MIN}};
  for (const auto& [text, value] : cases) EXPECT_EQ(LeadingInt(text), value) << text;
}

TEST(MailRowTest, ColumnsFromTheSummaryWithTheLocalDateYearFirst) {
  MailSummary summary;
  summary.verdict = VerdictBad;
  summary.reason = ReasonBadList;
  summary.subject = "件名";
  summary.senderName = "Name";
  summary.senderAddress = "a@example.org";
  const MailListRow row = MakeMailListRow(12, summary, CMailMark::MarkOpened);
  EXPECT_EQ(row.texts, (std::array<std::string, kMailColumnCount>{
                           "12", "2", "件名", "Name", "a@example.org", "1970 01/01 00:00:00"}));
  const struct {
    const char* zone;
    std::int64_t received;
    const char* text;
  } dates[] = {{"JST-9", 0, "1970 01/01 09:00:00"},
               {"EST5", 0, "1969 12/31 19:00:00"},
               {"UTC0", 1743469200, "2025 04/01 01:00:00"}};
  for (const auto& d : dates) {
    test::ScopedTimeZone zone(d.zone);
    summary.received = d.received;
    EXPECT_EQ(MakeMailListRow(1, summary, 0).texts[ColumnDate], d.text) << d.zone;
  }
}

// ---- Settings ----

std::pair<int, bool> Order(const MailListSort& sort) { return {sort.column, sort.reverse}; }

TEST(ListSettingsTest, ParsesSixWidthsMissingOnesZero) {
  const std::pair<const char*, ColumnWidths> cases[] = {
      {"60,30,240,130,240,120", {60, 30, 240, 130, 240, 120}},
      {"", {0, 0, 0, 0, 0, 0}},
      {"1,2,3,4,5,6,7", {1, 2, 3, 4, 5, 6}},
      {" 7px,,abc,12,5,", {7, 0, 0, 12, 5, 0}},
      {"-40,99999999999,3", {0, INT_MAX, 3, 0, 0, 0}}};
  for (const auto& [text, widths] : cases) EXPECT_EQ(ParseColumnWidths(text), widths) << text;
}

// Every character `charWidth` pixels wide, headings 20 more for the sort indicator.
ColumnWidths FittedFor(int charWidth) {
  const auto width = [charWidth](std::string_view text) {
    return static_cast<int>(text.size()) * charWidth;
  };
  return FitDefaultWidths(
      {[width](std::string_view text) { return width(text) + 20; }, width, 10, 36});
}

TEST(ListSettingsTest, EveryHeadingAndSampleFitsAndTheListKeepsItsWidth) {
  // The number with its pictures, the "Detail" heading and the date grow by 16, 36 and 4; the
  // subject and the address give 28 each.
  EXPECT_EQ(FittedFor(6), (ColumnWidths{76, 66, 212, 130, 212, 124}));
  // Neither gives up its heading.
  EXPECT_EQ(FittedFor(40), (ColumnWidths{246, 270, 310, 510, 510, 770}));
}

class MailListTest : public test::MailboxSetTest {
 protected:
  void AddMailbox(const std::string& name, const Texts& subjects) {
    ASSERT_GE(set.Add(name), 0);
    CMailbox& mailbox = *set.Get(set.Find(name));
    for (const std::string& subject : subjects) Store(mailbox, subject, "", VerdictUnclassified);
  }
  // The rows as "number:subject".
  std::string Shown() const {
    std::string shown;
    for (const MailListRow& row : list.Rows())
      shown +=
          (shown.empty() ? "" : " ") + row.texts[ColumnNumber] + ":" + row.texts[ColumnSubject];
    return shown;
  }
  CMailboxSet set{profile};
  CMailListModel list{set};
};

TEST_F(MailListTest, WidthsAndOrderAreStoredAndOutOfRangeFallsBack) {
  ASSERT_TRUE(profile.WriteString("Geometry", "ColSizes", "80,40"));
  EXPECT_TRUE(ColumnWidthsSaved(profile));
  ASSERT_TRUE(SaveColumnWidths(profile, LoadColumnWidths(profile)));
  EXPECT_EQ(profile.GetString("Geometry", "ColSizes", ""), "80,40,0,0,0,0");
  ASSERT_TRUE(SaveMailListSort(profile, {ColumnDate, true}));
  EXPECT_EQ(profile.GetInt("MailList", "Reverse", 9), 1);
  EXPECT_EQ(Order(LoadMailListSort(profile)), (std::pair<int, bool>{ColumnDate, true}));
  ASSERT_TRUE(profile.WriteInt("MailList", "Sort", 6));
  ASSERT_TRUE(profile.WriteInt("MailList", "Reverse", 2));
  EXPECT_EQ(Order(LoadMailListSort(profile)), (std::pair<int, bool>{0, true}));
  EXPECT_FALSE(LoadEmptyAddressIsBad(profile));
  ASSERT_TRUE(profile.WriteInt("ProcessMail", "AddEmptyAddrToBadlist", 1));
  EXPECT_TRUE(LoadEmptyAddressIsBad(profile));
}

// ---- The list ----

TEST_F(MailListTest, RowsFollowTheMailboxAndItsDustbox) {
  list.SelectMailbox(0);
  EXPECT_EQ(list.CurrentMailbox(), nullptr);
  EXPECT_EQ(list.RowCount(), 0);
  AddMailbox("a", {"one", "two", "three"});
  AddMailbox("b", {});
  CMailbox& a = *set.Get(0);
  Store(*a.Dustbox(), "gone", "", VerdictSpam);
  list.SelectMailbox(0);
  EXPECT_EQ(Shown(), "1:one 2:two 3:three");
  list.ShowDustbox(true);
  EXPECT_EQ(list.DisplayedMailbox(), a.Dustbox());
  EXPECT_EQ(Shown(), "1:gone");
  EXPECT_EQ(list.Rows()[0].verdictImage, VerdictSpam);
  // The dustbox view stays on across a change of mailbox.
  list.SelectMailbox(1);
  EXPECT_TRUE(list.DustboxView());
  EXPECT_EQ(list.RowCount(), 0);
  list.SelectMailbox(0);
  list.SelectMailbox(3);  // none: the previous rows go
  EXPECT_EQ(list.CurrentMailbox(), nullptr);
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(MailListTest, HeaderClicksToggleAndResetTheOrderWhichARebuildKeeps) {
  AddMailbox("a", {"b", "c", "a", "a"});
  list.SelectMailbox(0);
  list.OnHeaderClick(ColumnSubject);
  EXPECT_EQ(Shown(), "3:a 4:a 1:b 2:c");  // equal subjects keep their order
  list.OnHeaderClick(ColumnSubject);
  EXPECT_EQ(Shown(), "2:c 1:b 3:a 4:a");
  EXPECT_EQ(Order(list.Sort()), (std::pair<int, bool>{ColumnSubject, true}));
  list.OnHeaderClick(ColumnNumber);  // another column sorts ascending again
  EXPECT_EQ(Shown(), "1:b 2:c 3:a 4:a");
  list.OnHeaderClick(6);  // columns that do not exist change nothing
  list.OnHeaderClick(-1);
  EXPECT_EQ(Order(list.Sort()), (std::pair<int, bool>{ColumnNumber, false}));
  list.SetSort({ColumnSubject, true});
  list.UpdateList();
  EXPECT_EQ(Shown(), "2:c 1:b 3:a 4:a");
  list.SetSort({9, false});
  EXPECT_EQ(list.Sort().column, ColumnNumber);
}

TEST_F(MailListTest, RemovingARowNumbersTheLaterMailsDown) {
  AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list.SetSort({ColumnNumber, true});
  list.SelectMailbox(0);
  EXPECT_EQ(list.RemoveRow(3), 2);  // descending: mail 3 stands in row 2
  EXPECT_EQ(Shown(), "4:m5 3:m4 2:m2 1:m1");
  EXPECT_EQ(list.FindRow(4), 0);
  EXPECT_EQ(list.RemoveRow(9), -1);
  EXPECT_EQ(list.RemoveRow(0), -1);
  EXPECT_EQ(list.RowCount(), 4);
  // Changes to rows that do not exist are refused.
  EXPECT_EQ(list.SetRowState(4, 0), 0);
  EXPECT_EQ(list.SetRowClass(-1, 0), 0);
  EXPECT_EQ(list.SetRowClassAndReason(4, 0, 0), 0);
}

TEST_F(MailListTest, SelectionGivesRowsTopToBottomWithTheirNumbers) {
  AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list.SetSort({ColumnNumber, true});  // rows 0..4 hold mails 5..1
  list.SelectMailbox(0);
  const struct {
    Ints selected, rows, numbers;
  } cases[] = {{{}, {}, {}}, {{4, 0, 2}, {0, 2, 4}, {5, 3, 1}}, {{2, 2, -1, 5, 1}, {1, 2}, {4, 3}}};
  for (const auto& c : cases) {
    Ints numbers{99}, rows{99};
    EXPECT_EQ(list.GetSelectedMails(c.selected, numbers, rows), static_cast<int>(c.rows.size()));
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(numbers, c.numbers);
  }
}

// ---- Changes made by others than the list ----

TEST_F(MailListTest, RefreshRebuildsOnlyWhenARowWouldDifferAndRowsKeepTheirMessages) {
  AddMailbox("a", {"m1", "m2"});
  CMailbox& a = *set.Get(0);
  Store(*a.Dustbox(), "d1", "", VerdictSpam);
  list.SelectMailbox(0);
  const std::uint64_t first = list.Rows()[0].serial;
  const std::uint64_t second = list.Rows()[1].serial;
  EXPECT_FALSE(list.Refresh());
  ASSERT_EQ(a.SetOpened(1, true), 1);
  EXPECT_TRUE(list.Refresh());
  // The first message goes to the dustbox: the second keeps its serial under its new number,
  // and the dustbox shows the moved one as the same message.
  ASSERT_EQ(a.RemoveMessage(1, a.Dustbox()), 1);
  EXPECT_TRUE(list.Refresh());
  EXPECT_EQ(list.FindSerial(second), 0);
  EXPECT_EQ(list.Rows()[0].number, 1);
  EXPECT_EQ(list.FindSerial(first), -1);
  list.ShowDustbox(true);
  EXPECT_EQ(list.FindSerial(first), 1);
  EXPECT_FALSE(list.Refresh());
}

}  // namespace
}  // namespace qm
