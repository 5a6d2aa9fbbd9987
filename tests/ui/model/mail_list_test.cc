#include "ui/model/mail_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "ui/model/mail_rows.h"

namespace qm {
namespace {

// A set whose mailboxes hold stored mails, and the list over it.
class MailListTest : public test::MailboxSetTest {
 protected:
  // Mailbox "a" with one mail per subject, in order.
  void AddMailbox(const std::string& name, const std::vector<std::string>& subjects) {
    ASSERT_GE(set.Add(name), 0);
    CMailbox& mailbox = *set.Get(set.Find(name));
    for (const std::string& subject : subjects) Store(mailbox, subject, "", VerdictUnclassified);
  }
  std::vector<int> Numbers() const {
    std::vector<int> numbers;
    for (const MailListRow& row : list.Rows()) numbers.push_back(row.number);
    return numbers;
  }
  std::vector<std::string> Column(int column) const {
    std::vector<std::string> texts;
    for (const MailListRow& row : list.Rows()) texts.push_back(row.texts[column]);
    return texts;
  }

  CMailboxSet set{profile};
  CMailListModel list{set};
};

using Texts = std::vector<std::string>;
using Ints = std::vector<int>;

TEST_F(MailListTest, WithoutAMailboxTheListIsEmpty) {
  list.UpdateList();
  EXPECT_EQ(list.RowCount(), 0);
  list.SelectMailbox(0);
  EXPECT_EQ(list.CurrentIndex(), 0);
  EXPECT_EQ(list.CurrentMailbox(), nullptr);
  EXPECT_EQ(list.DisplayedMailbox(), nullptr);
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(MailListTest, SelectingNoMailboxDropsTheRowsOfThePreviousOne) {
  AddMailbox("a", {"x", "y"});
  list.SelectMailbox(0);
  ASSERT_EQ(list.RowCount(), 2);
  list.SelectMailbox(3);
  EXPECT_EQ(list.CurrentMailbox(), nullptr);
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(MailListTest, RowsFollowTheMailboxAndItsDustbox) {
  AddMailbox("a", {"one", "two", "three"});
  AddMailbox("b", {});
  CMailbox& a = *set.Get(0);
  Store(*a.Dustbox(), "gone", "", VerdictSpam);

  list.SelectMailbox(0);
  EXPECT_EQ(Numbers(), (Ints{1, 2, 3}));
  EXPECT_EQ(Column(ColumnNumber), (Texts{"1", "2", "3"}));
  EXPECT_EQ(Column(ColumnSubject), (Texts{"one", "two", "three"}));

  list.ShowDustbox(true);
  EXPECT_EQ(list.DisplayedMailbox(), a.Dustbox());
  EXPECT_EQ(Column(ColumnSubject), (Texts{"gone"}));
  EXPECT_EQ(list.Rows()[0].verdictImage, VerdictSpam);

  // The dustbox view stays on across a change of mailbox.
  list.SelectMailbox(1);
  EXPECT_TRUE(list.DustboxView());
  EXPECT_EQ(list.RowCount(), 0);
  list.ShowDustbox(false);
  EXPECT_EQ(list.RowCount(), 0);
}

TEST_F(MailListTest, HeaderClicksToggleAndResetTheOrder) {
  AddMailbox("a", {"b", "c", "a"});
  list.SelectMailbox(0);
  EXPECT_EQ(Column(ColumnSubject), (Texts{"b", "c", "a"}));

  list.OnHeaderClick(ColumnSubject);
  EXPECT_EQ(Column(ColumnSubject), (Texts{"a", "b", "c"}));
  list.OnHeaderClick(ColumnSubject);
  EXPECT_EQ(Column(ColumnSubject), (Texts{"c", "b", "a"}));
  EXPECT_TRUE(list.Sort().reverse);

  // Another column sorts ascending again.
  list.OnHeaderClick(ColumnNumber);
  EXPECT_EQ(list.Sort().column, ColumnNumber);
  EXPECT_FALSE(list.Sort().reverse);
  EXPECT_EQ(Numbers(), (Ints{1, 2, 3}));

  // A column that does not exist changes nothing.
  list.OnHeaderClick(6);
  list.OnHeaderClick(-1);
  EXPECT_EQ(list.Sort().column, ColumnNumber);
  EXPECT_EQ(Numbers(), (Ints{1, 2, 3}));
}

TEST_F(MailListTest, NumbersSortAsNumbersNotAsText) {
  AddMailbox("a", std::vector<std::string>(11, "same"));
  list.SelectMailbox(0);
  list.OnHeaderClick(ColumnNumber);  // the current column: now descending
  ASSERT_EQ(list.RowCount(), 11);
  EXPECT_EQ(list.Rows().front().number, 11);
  EXPECT_EQ(list.Rows()[1].number, 10);
  EXPECT_EQ(list.Rows().back().number, 1);
  // Equal subjects keep the order they stand in.
  list.OnHeaderClick(ColumnSubject);
  EXPECT_EQ(list.Rows().front().number, 11);
}

TEST_F(MailListTest, ARebuildKeepsTheSavedOrder) {
  AddMailbox("a", {"b", "c", "a"});
  list.SetSort({ColumnSubject, true});
  list.SelectMailbox(0);
  EXPECT_EQ(Column(ColumnSubject), (Texts{"c", "b", "a"}));
  EXPECT_EQ(list.Sort().column, ColumnSubject);
  EXPECT_TRUE(list.Sort().reverse);

  list.SetSort({9, false});
  EXPECT_EQ(list.Sort().column, ColumnNumber);
  list.UpdateList();
  EXPECT_EQ(Numbers(), (Ints{1, 2, 3}));
}

TEST_F(MailListTest, RemovingARowNumbersTheLaterMailsDown) {
  AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list.SetSort({ColumnNumber, true});
  list.SelectMailbox(0);

  EXPECT_EQ(list.RemoveRow(3), 2);  // descending: mail 3 stands in row 2
  EXPECT_EQ(Numbers(), (Ints{4, 3, 2, 1}));
  EXPECT_EQ(Column(ColumnNumber), (Texts{"4", "3", "2", "1"}));
  EXPECT_EQ(Column(ColumnSubject), (Texts{"m5", "m4", "m2", "m1"}));
  EXPECT_EQ(list.FindRow(4), 0);

  EXPECT_EQ(list.RemoveRow(9), -1);
  EXPECT_EQ(list.RemoveRow(0), -1);
  EXPECT_EQ(list.RowCount(), 4);
}

// Removing from the highest number down, as the commands do, keeps rows and mails in step.
TEST_F(MailListTest, RemovingSeveralFromTheHighestMatchesTheMailbox) {
  AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list.SelectMailbox(0);
  CMailbox& a = *set.Get(0);
  for (int number : {4, 2}) {
    ASSERT_EQ(a.RemoveMessage(number, nullptr), 1);
    ASSERT_GE(list.RemoveRow(number), 0);
  }
  ASSERT_EQ(list.RowCount(), a.MessageCount());
  for (const MailListRow& row : list.Rows()) {
    EXPECT_EQ(row.texts[ColumnSubject], a.Summary(row.number).subject);
  }
}

struct SelectionCase {
  std::vector<int> selected;
  std::vector<int> rows;
  std::vector<int> numbers;
};

class SelectionTest : public MailListTest, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(SelectionTest, GivesRowsTopToBottomWithTheirNumbers) {
  AddMailbox("a", {"m1", "m2", "m3", "m4", "m5"});
  list.SetSort({ColumnNumber, true});  // rows 0..4 hold mails 5..1
  list.SelectMailbox(0);
  std::vector<int> numbers{99};
  std::vector<int> rows{99};
  EXPECT_EQ(list.GetSelectedMails(GetParam().selected, numbers, rows),
            static_cast<int>(GetParam().rows.size()));
  EXPECT_EQ(rows, GetParam().rows);
  EXPECT_EQ(numbers, GetParam().numbers);
}

INSTANTIATE_TEST_SUITE_P(Cases, SelectionTest,
                         ::testing::Values(SelectionCase{{}, {}, {}}, SelectionCase{{3}, {3}, {2}},
                                           SelectionCase{{4, 0, 2}, {0, 2, 4}, {5, 3, 1}},
                                           SelectionCase{{2, 2, -1, 5, 1}, {1, 2}, {4, 3}}));

TEST_F(MailListTest, RowChangesAfterCommands) {
  AddMailbox("a", {"m1", "m2"});
  list.SelectMailbox(0);
  EXPECT_EQ(list.SetRowState(1, CMailMark::MarkOpened | CMailMark::MarkHidden), 1);
  EXPECT_EQ(list.Rows()[1].stateImage, 1);
  EXPECT_EQ(list.SetRowClass(0, VerdictOther), 1);
  EXPECT_EQ(list.Rows()[0].verdictImage, -1);
  EXPECT_EQ(list.SetRowClassAndReason(0, VerdictBad, ReasonBadList), 1);
  EXPECT_EQ(list.Rows()[0].verdictImage, VerdictBad);
  EXPECT_EQ(list.Rows()[0].texts[ColumnDetail], "2");
  EXPECT_EQ(list.SetRowState(2, 0), 0);
  EXPECT_EQ(list.SetRowClass(-1, 0), 0);
  EXPECT_EQ(list.SetRowClassAndReason(2, 0, 0), 0);
}

// ---- Changes made by others than the list ----

TEST_F(MailListTest, RefreshRebuildsOnlyWhenARowWouldDifferAndRowsKeepTheirMessages) {
  AddMailbox("a", {"m1", "m2"});
  CMailbox& a = *set.Get(0);
  Store(*a.Dustbox(), "d1", "", VerdictSpam);
  list.SelectMailbox(0);
  const std::uint64_t second = list.Rows()[1].serial;
  EXPECT_FALSE(list.Refresh());
  ASSERT_EQ(a.SetOpened(1, true), 1);
  EXPECT_TRUE(list.Refresh());
  // The first message goes to the dustbox: the second keeps its serial under its new number,
  // and the dustbox shows the moved one as the same message.
  const std::uint64_t first = list.Rows()[0].serial;
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
