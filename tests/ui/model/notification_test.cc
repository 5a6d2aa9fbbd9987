#include "ui/model/notification.h"

#include <gtest/gtest.h>

#include <climits>

#include "mailboxes/mailbox_set_fixture.h"

namespace qm {
namespace {

struct DecisionCase {
  int trigger;
  bool due;
  int seconds;
  bool visible;
  NotifyDecision expected;
};
void PrintTo(const DecisionCase& c, std::ostream* os) {
  *os << "trigger " << c.trigger << (c.due ? " due" : " not due") << " time " << c.seconds
      << (c.visible ? " visible" : " hidden");
}

class DecisionTest : public ::testing::TestWithParam<DecisionCase> {};
TEST_P(DecisionTest, ByTriggerDueTimeAndVisibility) {
  const DecisionCase& c = GetParam();
  const NotifyDecision d = DecideNotification(c.trigger, c.due, c.seconds, c.visible);
  EXPECT_EQ(d.sound, c.expected.sound);
  EXPECT_EQ(d.blink, c.expected.blink);
  EXPECT_EQ(d.window, c.expected.window);
  EXPECT_EQ(d.insideMainWindow, c.expected.insideMainWindow);
  EXPECT_EQ(d.position, c.expected.position);
}

// sound, blink, window, inside, position
constexpr NotifyDecision kNothing{};
constexpr NotifyDecision kSoundOnly{true, false, false, false, 0};
constexpr NotifyDecision kAllFloating{true, true, true, false, NotifyBottomRight};
INSTANTIATE_TEST_SUITE_P(
    Table, DecisionTest,
    ::testing::Values(
        DecisionCase{1, false, 10, true, kNothing}, DecisionCase{1, false, 0, false, kNothing},
        DecisionCase{1, true, 10, true, kAllFloating},
        DecisionCase{1, true, 0, true, {true, true, false, false, 0}},
        DecisionCase{2, true, 10, true, kNothing},
        DecisionCase{3, false, 10, true, {true, false, true, true, NotifyCentre}},
        DecisionCase{3, false, 10, false, {true, false, true, false, NotifyBottomRight}},
        DecisionCase{3, true, 10, true, {true, true, true, true, NotifyCentre}},
        DecisionCase{3, true, 0, true, {true, true, false, false, 0}},
        DecisionCase{3, false, 0, false, kSoundOnly}, DecisionCase{4, true, 10, true, kAllFloating},
        DecisionCase{4, false, 10, true, {true, false, true, false, NotifyBottomRight}},
        DecisionCase{4, false, 0, false, kSoundOnly}, DecisionCase{0, true, 10, true, kNothing},
        DecisionCase{5, true, 10, true, kNothing}));

using MailReceivedTest = test::MailboxSetTest;

TEST_F(MailReceivedTest, TimedSpamThatIsNotNotifiedStaysSilent) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  int deleteNow = 0;
  CMailMessage spam = Message("s", "", VerdictSpam);
  ASSERT_GT(set.Get(0)->StoreRetrieved(spam, deleteNow), 0);

  const MailReceived received = OnMailReceived(set, kTriggerTimer, 0, 10, true);
  EXPECT_EQ(received.spamCount, 1u);
  EXPECT_FALSE(received.decision.sound);
  EXPECT_FALSE(received.decision.blink);
  EXPECT_FALSE(received.decision.window);
  EXPECT_EQ(received.restartTimers, 0);
}

TEST_F(MailReceivedTest, ReceiveCommandCountsItsMailboxAndTakesOnlyItsFlag) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  int deleteNow = 0;
  CMailMessage a1 = Message("a1", "", VerdictFriend);
  CMailMessage b1 = Message("b1", "", VerdictFriend);
  ASSERT_GT(set.Get(0)->StoreRetrieved(a1, deleteNow), 0);
  ASSERT_GT(set.Get(1)->StoreRetrieved(b1, deleteNow), 0);

  const MailReceived one = OnMailReceived(set, kTriggerCommand, 1, 10, false);
  EXPECT_EQ(one.friendCount, 1u);
  EXPECT_TRUE(one.decision.blink);
  EXPECT_EQ(one.restartTimers, 1);

  // The timed run sums all mailboxes; a's new-mail flag is still there.
  const MailReceived all = OnMailReceived(set, kTriggerTimer, -1, 10, false);
  EXPECT_EQ(all.friendCount, 2u);
  EXPECT_TRUE(all.decision.sound);
  EXPECT_EQ(all.restartTimers, -1);

  // Nothing new since: a manual receive still sounds and shows its counts.
  const MailReceived again = OnMailReceived(set, kTriggerTray, -1, 10, false);
  EXPECT_FALSE(again.decision.blink);
  EXPECT_TRUE(again.decision.window);
}

TEST_F(MailReceivedTest, SettingsAndRememberedPosition) {
  NotifySettings settings = LoadNotifySettings(profile);
  EXPECT_EQ(settings.seconds, 10);
  EXPECT_TRUE(settings.bySound);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::Beep);
  EXPECT_FALSE(settings.positionX.has_value());

  ASSERT_TRUE(profile.WriteString("Misc", "NotifySound", "ding.wav"));
  ASSERT_TRUE(profile.WriteInt("Geometry", "NotifyWindowPosX", -20));
  settings = LoadNotifySettings(profile);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::File);
  EXPECT_EQ(settings.positionX, -20);
  EXPECT_FALSE(settings.positionY.has_value());

  ASSERT_TRUE(SaveNotifyPosition(profile, {300, 40}));
  ASSERT_TRUE(profile.WriteInt("Misc", "NotifyBySound", 0));
  settings = LoadNotifySettings(profile);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::None);
  EXPECT_EQ(settings.positionX, 300);
  EXPECT_EQ(settings.positionY, 40);
}

struct PositionCase {
  int mode;
  ScreenPoint position;
};
class PositionTest : public ::testing::TestWithParam<PositionCase> {};
TEST_P(PositionTest, InTheArea) {
  EXPECT_EQ(PositionInArea(GetParam().mode, {801, 600}, {101, 51}), GetParam().position);
}
INSTANTIATE_TEST_SUITE_P(Modes, PositionTest,
                         ::testing::Values(PositionCase{1, {350, 275}}, PositionCase{2, {0, 0}},
                                           PositionCase{3, {700, 0}}, PositionCase{4, {0, 549}},
                                           PositionCase{5, {700, 549}}, PositionCase{0, {0, 0}}));

TEST(NotifyPlacementTest, RememberedPositionOnlyFloatingAndWithBothKeys) {
  NotifySettings settings;
  const ScreenSize area{1000, 800};
  const ScreenSize window{100, 50};
  EXPECT_EQ(NotifyWindowPosition(true, settings, 5, area, window), (ScreenPoint{900, 750}));
  settings.positionX = 12;
  EXPECT_EQ(NotifyWindowPosition(true, settings, 5, area, window), (ScreenPoint{900, 750}));
  settings.positionY = 34;
  EXPECT_EQ(NotifyWindowPosition(true, settings, 5, area, window), (ScreenPoint{12, 34}));
  EXPECT_EQ(NotifyWindowPosition(false, settings, 1, area, window), (ScreenPoint{450, 375}));
}

TEST(NotifyTimerTest, SecondsToMilliseconds) {
  EXPECT_EQ(NotifyCloseMilliseconds(0), 0);
  EXPECT_EQ(NotifyCloseMilliseconds(-3), 0);
  EXPECT_EQ(NotifyCloseMilliseconds(10), 10000);
  EXPECT_EQ(NotifyCloseMilliseconds(INT_MAX), INT_MAX);
}

struct DragCase {
  ScreenPoint cursor;
  bool ctrl;
  ScreenSize window;
  ScreenPoint position;
};
class DragTest : public ::testing::TestWithParam<DragCase> {};
TEST_P(DragTest, KeepsTheGrabPointUnderTheCursor) {
  // Grabbed 10 right and 5 below the window's corner; desktop 1024 x 768.
  EXPECT_EQ(
      DragPosition(GetParam().cursor, {10, 5}, GetParam().ctrl, GetParam().window, {1024, 768}),
      GetParam().position);
}
INSTANTIATE_TEST_SUITE_P(Moves, DragTest,
                         ::testing::Values(DragCase{{500, 400}, false, {100, 50}, {490, 395}},
                                           DragCase{{500, 400}, true, {100, 50}, {490, 395}},
                                           DragCase{{5, 0}, false, {100, 50}, {-5, -5}},
                                           DragCase{{5, 0}, true, {100, 50}, {0, 0}},
                                           DragCase{{2000, 2000}, false, {100, 50}, {1990, 1995}},
                                           DragCase{{2000, 2000}, true, {100, 50}, {924, 718}},
                                           // Larger than the desktop: the corner stays on it.
                                           DragCase{{500, 400}, true, {1100, 50}, {0, 395}}));

TEST(NotifyMouseTest, PlainClickCloses) {
  CNotifyMouse mouse;
  EXPECT_EQ(mouse.LeftDown(false, false, true, {10, 10}, {0, 0}), NotifyNothing);
  EXPECT_EQ(mouse.MouseMove({50, 50}, false, {100, 50}, {1024, 768}), NotifyNothing);
  EXPECT_EQ(mouse.LeftUp(), NotifyReleaseCapture | NotifyEndNewMail | NotifyClose);
}

TEST(NotifyMouseTest, DragMovesRemembersAndStaysAWhile) {
  CNotifyMouse mouse;
  EXPECT_EQ(mouse.LeftDown(true, false, true, {110, 105}, {100, 100}), NotifyStartDrag);
  EXPECT_EQ(mouse.MouseMove({5, 5}, false, {100, 50}, {1024, 768}), NotifyMove);
  EXPECT_EQ(mouse.Position(), (ScreenPoint{-5, 0}));
  EXPECT_EQ(mouse.MouseMove({5, 5}, true, {100, 50}, {1024, 768}), NotifyMove);
  EXPECT_EQ(mouse.Position(), (ScreenPoint{0, 0}));
  EXPECT_EQ(mouse.LeftUp(),
            NotifyReleaseCapture | NotifyEndNewMail | NotifyRestartTimer | NotifySavePosition);
  EXPECT_FALSE(mouse.Dragging());
  // The next plain click closes again.
  EXPECT_EQ(mouse.LeftUp() & NotifyClose, NotifyClose);
}

TEST(NotifyMouseTest, InsideTheMainWindowNoDrag) {
  CNotifyMouse mouse;
  EXPECT_EQ(mouse.LeftDown(false, true, false, {10, 10}, {0, 0}), NotifyNothing);
  EXPECT_EQ(mouse.LeftUp() & NotifyClose, NotifyClose);
}

TEST(NotifyMouseTest, OtherButtons) {
  CNotifyMouse mouse;
  EXPECT_EQ(mouse.RightUp(), NotifyShowNewMailbox | NotifyEndNewMail | NotifyClose);
  EXPECT_EQ(mouse.MiddleUp(false),
            NotifyLaunchMailer | NotifyEndNewMail | NotifyRaiseMainWindow | NotifyClose);
  EXPECT_NE(mouse.MiddleUp(true) & NotifyHideMainWindow, 0u);
}

TEST(CurrentNotificationTest, ANewerWindowStaysCurrentWhenTheOlderGoes) {
  CCurrentNotification current;
  EXPECT_EQ(current.Replace(1), 0);
  EXPECT_EQ(current.Replace(2), 1);
  current.Destroyed(1);
  EXPECT_EQ(current.Current(), 2);
  current.Destroyed(2);
  EXPECT_EQ(current.Current(), 0);
}

}  // namespace
}  // namespace qm
