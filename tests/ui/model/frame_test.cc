#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "platform/code_page.h"
#include "ui/model/frame_texts.h"
#include "ui/model/notification.h"

namespace qm {
namespace {

using FrameTest = test::MailboxSetTest;

TEST_F(FrameTest, CountsOverMailboxesAndDustboxes) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("home"), 0);
  ASSERT_EQ(set.Add("work"), 1);
  for (const char* subject : {"h1", "h2"}) Store(*set.Get(0), subject, "", VerdictFriend);
  Store(*set.Get(1), "w1", "", VerdictFriend);
  for (const char* subject : {"d1", "d2"}) Store(*set.Get(1)->Dustbox(), subject, "", VerdictSpam);
  ASSERT_EQ(set.Get(0)->SetOpened(1, true), 1);
  ASSERT_EQ(set.Get(1)->Dustbox()->SetOpened(2, true), 1);
  const FrameCounts counts = ComputeFrameCounts(set);
  EXPECT_EQ(counts.mailboxCounts + "|" + counts.dustboxCounts + "|" + counts.trayTip,
            "3 ( 2 )|2 ( 1 )|Quillmoor Mail Filter\n3 ( 2 ) / 2 ( 1 )");
  EXPECT_EQ(MailboxEntries(set),
            (std::vector<std::string>{"2 ( 1 ) - 0 ( 0 ) home", "1 ( 1 ) - 2 ( 1 ) work"}));
  EXPECT_EQ(MailboxEntryText(set, 2), "");
}

TEST(FrameTextTest, LongTipsAreCutTo63BytesOnACharacterBoundary) {
  const std::string big = CountsText(2147483647, 2147483647);
  EXPECT_EQ(TrayTipText(big, big), ("Quillmoor Mail Filter\n" + big + " / " + big).substr(0, 63));
  const struct {
    std::string text;
    std::size_t limit;
    std::string cut;
  } cases[] = {{"abc", 2, "ab"},
               {"abc", 9, "abc"},
               {"a\xE3\x81\x82", 3, "a"},
               {"a\xE3\x81\x82", 4, "a\xE3\x81\x82"},
               {"\xC3\xA9\xF0\x9F\x98\x80", 5, "\xC3\xA9"},
               // The start of a character that the text ends inside goes too; bytes that start
               // no character count one by one.
               {"ab\xE3\x81", 9, "ab"},
               {"\xFF\x80x", 2, "\xFF\x80"}};
  for (const auto& c : cases) EXPECT_EQ(CutUtf8(c.text, c.limit), c.cut) << c.text;
  EXPECT_EQ(MailboxMenuEntryCount(150), 101);
  for (const auto& [command, mailbox] :
       std::vector<std::pair<int, int>>{{35000, 0}, {35100, 100}, {35101, -1}, {34999, -1}})
    EXPECT_EQ(MailboxOfMenuCommand(command), mailbox) << command;
}

std::string Text(const NotifyDecision& d) {
  return std::string(d.sound ? "sound " : "") + (d.blink ? "blink " : "") +
         (d.window ? (d.insideMainWindow ? "inside " : "window ") : "") +
         std::to_string(d.position);
}

TEST(NotificationTest, DecidedByTriggerDueTimeAndVisibility) {
  const std::string floating = "window " + std::to_string(NotifyBottomRight);
  const std::string centred = "inside " + std::to_string(NotifyCentre);
  const struct {
    int trigger;
    bool due;
    int seconds;
    bool visible;
    std::string expected;
  } cases[] = {{1, false, 10, true, "0"},
               {1, true, 10, true, "sound blink " + floating},
               {1, true, 0, true, "sound blink 0"},
               {2, true, 10, true, "0"},
               {3, false, 10, true, "sound " + centred},
               {3, false, 10, false, "sound " + floating},
               {3, true, 10, true, "sound blink " + centred},
               {3, false, 0, false, "sound 0"},
               {4, false, 10, true, "sound " + floating},
               {4, false, 0, false, "sound 0"},
               {0, true, 10, true, "0"},
               {5, true, 10, true, "0"}};
  for (const auto& c : cases)
    EXPECT_EQ(Text(DecideNotification(c.trigger, c.due, c.seconds, c.visible)), c.expected)
        << c.trigger << c.due << c.seconds << c.visible;
}

}  // namespace
}  // namespace qm
