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
  } cases[] = {{"a\xE3\x81\x82", 3, "a"},
               {"a\xE3\x81\x82", 4, "a\xE3\x81\x82"},
               {"\xC3\xA9\xF0\x9F\x98\x80", 5, "\xC3\xA9"},
               // A character the text ends inside goes; bytes that start none count singly.
               {"ab\xE3\x81", 9, "ab"},
               {"\xFF\x80x", 2, "\xFF\x80"}};
  for (const auto& c : cases) EXPECT_EQ(CutUtf8(c.text, c.limit), c.cut) << c.text;
  EXPECT_EQ(MailboxMenuEntryCount(150), 101);
  for (const auto& [command, mailbox] :
       std::vector<std::pair<int, int>>{{35000, 0}, {35100, 100}, {35101, -1}, {34999, -1}})
    EXPECT_EQ(MailboxOfMenuCommand(command), mailbox) << command;
}

// s sound, b blink, w a window on the desktop or i inside the main window, then its position
// (1 centred, 5 bottom right) for each of: trigger, due, seconds shown, main window visible.
TEST(NotificationTest, DecidedByTriggerDueTimeAndVisibility) {
  const struct {
    int trigger;
    bool due;
    int seconds;
    bool visible;
    const char* expected;
  } cases[] = {
      {1, false, 10, true, "0"},   {1, true, 10, true, "sbw5"}, {1, true, 0, true, "sb0"},
      {2, true, 10, true, "0"},    {3, false, 10, true, "si1"}, {3, false, 10, false, "sw5"},
      {3, true, 10, true, "sbi1"}, {3, false, 0, false, "s0"},  {4, false, 10, true, "sw5"},
      {4, false, 0, false, "s0"},  {0, true, 10, true, "0"},    {5, true, 10, true, "0"}};
  for (const auto& c : cases) {
    const NotifyDecision d = DecideNotification(c.trigger, c.due, c.seconds, c.visible);
    EXPECT_EQ(std::string(d.sound ? "s" : "") + (d.blink ? "b" : "") +
                  (d.window ? (d.insideMainWindow ? "i" : "w") : "") + std::to_string(d.position),
              c.expected)
        << c.trigger << c.due << c.seconds << c.visible;
  }
}

}  // namespace
}  // namespace qm
