#include "ui/model/frame_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "platform/code_page.h"

namespace qm {
namespace {

using FrameTextsTest = test::MailboxSetTest;

TEST_F(FrameTextsTest, NoMailboxesCountZero) {
  CMailboxSet set(profile);
  const FrameCounts counts = ComputeFrameCounts(set);
  EXPECT_EQ(counts.mailboxCounts, "0 ( 0 )");
  EXPECT_EQ(counts.dustboxCounts, "0 ( 0 )");
  EXPECT_EQ(counts.trayTip, "Quillmoor Mail Filter\n0 ( 0 ) / 0 ( 0 )");
  EXPECT_TRUE(MailboxEntries(set).empty());
  EXPECT_EQ(MailboxEntryText(set, 0), "");
}

TEST_F(FrameTextsTest, CountsOverMailboxesAndDustboxes) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("home"), 0);
  ASSERT_EQ(set.Add("work"), 1);
  CMailbox& home = *set.Get(0);
  CMailbox& work = *set.Get(1);
  Store(home, "h1", "", VerdictFriend);
  Store(home, "h2", "", VerdictFriend);
  Store(work, "w1", "", VerdictFriend);
  Store(*work.Dustbox(), "d1", "", VerdictSpam);
  Store(*work.Dustbox(), "d2", "", VerdictSpam);
  ASSERT_EQ(home.SetOpened(1, true), 1);
  ASSERT_EQ(work.Dustbox()->SetOpened(2, true), 1);

  const FrameCounts counts = ComputeFrameCounts(set);
  EXPECT_EQ(counts.mailboxCounts, "3 ( 2 )");
  EXPECT_EQ(counts.dustboxCounts, "2 ( 1 )");
  EXPECT_EQ(counts.trayTip, "Quillmoor Mail Filter\n3 ( 2 ) / 2 ( 1 )");
  EXPECT_EQ(MailboxEntries(set),
            (std::vector<std::string>{"2 ( 1 ) - 0 ( 0 ) home", "1 ( 1 ) - 2 ( 1 ) work"}));
}

TEST(FrameTextTest, EntryKeepsTheNameBytes) {
  EXPECT_EQ(MailboxEntryText(10, 2, 3, 0, "\x8e\xa9\x91\xee"),
            "10 ( 2 ) - 3 ( 0 ) \x8e\xa9\x91\xee");
  EXPECT_EQ(CountsText(-1, 0), "-1 ( 0 )");
}

TEST(TrayTipTest, LongCountsAreCutTo63Bytes) {
  const std::string big = CountsText(2147483647, 2147483647);
  const std::string tip = TrayTipText(big, big);
  EXPECT_EQ(tip.size(), kTrayTipLimit);
  EXPECT_EQ(tip, ("Quillmoor Mail Filter\n" + big + " / " + big).substr(0, 63));
}

struct CutCase {
  std::string text;
  std::size_t limit;
  std::string cut;
};
class CutTest : public ::testing::TestWithParam<CutCase> {};
TEST_P(CutTest, EndsOnACharacterBoundary) {
  EXPECT_EQ(CutUtf8(GetParam().text, GetParam().limit), GetParam().cut);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, CutTest,
    ::testing::Values(CutCase{"abc", 2, "ab"}, CutCase{"abc", 9, "abc"},
                      // "あ" is three bytes: it goes whole or not at all.
                      CutCase{"a\xE3\x81\x82", 3, "a"},
                      CutCase{"a\xE3\x81\x82", 4, "a\xE3\x81\x82"},
                      CutCase{"\xC3\xA9\xF0\x9F\x98\x80", 5, "\xC3\xA9"},
                      // The start of a character that the text ends inside goes too.
                      CutCase{"ab\xE3\x81", 9, "ab"},
                      // Bytes that start no character count one by one.
                      CutCase{"\xFF\x80x", 2, "\xFF\x80"}, CutCase{"", 5, ""}));

TEST(MailboxMenuTest, CommandsMapToMailboxesWithinTheRange) {
  EXPECT_EQ(MailboxMenuEntryCount(0), 0);
  EXPECT_EQ(MailboxMenuEntryCount(7), 7);
  EXPECT_EQ(MailboxMenuEntryCount(150), 101);
  EXPECT_EQ(MailboxOfMenuCommand(35000), 0);
  EXPECT_EQ(MailboxOfMenuCommand(35100), 100);
  EXPECT_EQ(MailboxOfMenuCommand(35101), -1);
  EXPECT_EQ(MailboxOfMenuCommand(34999), -1);
}

TEST(MailboxNameTest, NamesNotInUtf8AreShownFromCodePage932) {
  EXPECT_EQ(MailboxNameForDisplay("受信箱"), "受信箱");
  EXPECT_EQ(MailboxNameForDisplay("\x8e\xf3\x90\x4d\x94\xa0"), "受信箱");
  EXPECT_EQ(MailboxNameForDisplay("plain"), "plain");
}

}  // namespace
}  // namespace qm
