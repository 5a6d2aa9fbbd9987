#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/code_page.h"
#include "ui/model/frame_texts.h"
#include "ui/model/notification.h"

namespace qm {
namespace {

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
