#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
#include "platform/code_page.h"
#include "ui/model/frame_texts.h"
#include "ui/model/notification.h"
#include "ui/model/tray.h"

namespace qm {
namespace {

using Texts = std::vector<std::string>;

class FrameTest : public test::MailboxSetTest {
 protected:
  // Mailboxes "home" and "work": 2 mails in home, 1 in work, 2 spam in work's dustbox; the
  // first of home and the second of work's dustbox read.
  void Fill() {
    ASSERT_EQ(set.Add("home"), 0);
    ASSERT_EQ(set.Add("work"), 1);
    CMailbox& home = *set.Get(0);
    CMailbox& work = *set.Get(1);
    for (const char* subject : {"h1", "h2"}) Store(home, subject, "", VerdictFriend);
    Store(work, "w1", "", VerdictFriend);
    for (const char* subject : {"d1", "d2"}) Store(*work.Dustbox(), subject, "", VerdictSpam);
    ASSERT_EQ(home.SetOpened(1, true), 1);
    ASSERT_EQ(work.Dustbox()->SetOpened(2, true), 1);
  }
  CMailboxSet set{profile};
};

// ---- Texts ----

TEST_F(FrameTest, CountsOverMailboxesAndDustboxes) {
  FrameCounts counts = ComputeFrameCounts(set);
  EXPECT_EQ(counts.trayTip, "Quillmoor Mail Filter\n0 ( 0 ) / 0 ( 0 )");
  EXPECT_EQ(MailboxEntryText(set, 0), "");
  Fill();
  counts = ComputeFrameCounts(set);
  EXPECT_EQ(counts.mailboxCounts + "|" + counts.dustboxCounts, "3 ( 2 )|2 ( 1 )");
  EXPECT_EQ(counts.trayTip, "Quillmoor Mail Filter\n3 ( 2 ) / 2 ( 1 )");
  EXPECT_EQ(MailboxEntries(set), (Texts{"2 ( 1 ) - 0 ( 0 ) home", "1 ( 1 ) - 2 ( 1 ) work"}));
  EXPECT_EQ(MailboxEntryText(10, 2, 3, 0, "\x8e\xa9\x91\xee"),
            "10 ( 2 ) - 3 ( 0 ) \x8e\xa9\x91\xee");
  // Names not in UTF-8 are shown from code page 932.
  EXPECT_EQ(MailboxNameForDisplay("\x8e\xf3\x90\x4d\x94\xa0"), "受信箱");
  EXPECT_EQ(MailboxNameForDisplay("受信箱"), "受信箱");
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
               // "あ" is three bytes: it goes whole or not at all.
               {"a\xE3\x81\x82", 3, "a"},
               {"a\xE3\x81\x82", 4, "a\xE3\x81\x82"},
               {"\xC3\xA9\xF0\x9F\x98\x80", 5, "\xC3\xA9"},
               // The start of a character that the text ends inside goes too.
               {"ab\xE3\x81", 9, "ab"},
               // Bytes that start no character count one by one.
               {"\xFF\x80x", 2, "\xFF\x80"},
               {"", 5, ""}};
  for (const auto& c : cases) EXPECT_EQ(CutUtf8(c.text, c.limit), c.cut) << c.text;
}

TEST(FrameTextTest, MenuCommandsMapToMailboxesWithinTheRange) {
  EXPECT_EQ(MailboxMenuEntryCount(7), 7);
  EXPECT_EQ(MailboxMenuEntryCount(150), 101);
  for (const auto& [command, mailbox] :
       std::vector<std::pair<int, int>>{{35000, 0}, {35100, 100}, {35101, -1}, {34999, -1}})
    EXPECT_EQ(MailboxOfMenuCommand(command), mailbox) << command;
}

// ---- The tray ----

TEST(TrayTest, BlinksThroughThreePhasesUntilStopped) {
  CTrayBlink blink;
  EXPECT_EQ(blink.Tick(), TrayPicture::Normal);
  blink.Start();
  EXPECT_EQ(blink.Picture(), TrayPicture::NewMail);
  std::vector<TrayPicture> shown;
  for (int i = 0; i < 4; ++i) shown.push_back(blink.Tick());
  EXPECT_EQ(shown, (std::vector<TrayPicture>{TrayPicture::Normal, TrayPicture::InBetween,
                                             TrayPicture::NewMail, TrayPicture::Normal}));
  blink.Stop();
  EXPECT_EQ(blink.Tick(), TrayPicture::Normal);
}

TEST(TrayTest, TheMouseActsOncePerGesture) {
  using E = TrayEvent;
  constexpr std::uint32_t kEnd = TrayEndNewMail | TrayCloseNotification;
  const struct {
    std::vector<TrayEvent> events;
    std::vector<std::uint32_t> actions;
  } cases[] = {{{E::LeftDown, E::LeftUp, E::LeftDoubleClick, E::LeftUp, E::LeftDown, E::LeftUp},
                {0, kEnd | TrayShowMailboxMenu, kEnd | TrayShowMainWindow, 0, 0,
                 kEnd | TrayShowMailboxMenu}},
               {{E::RightDown, E::RightUp, E::RightDoubleClick, E::RightUp},
                {0, kEnd | TrayShowTrayMenu, kEnd | TrayRetrieveAll, 0}},
               // One button's double click does not swallow the other button's click.
               {{E::LeftDoubleClick, E::RightDown, E::RightUp},
                {kEnd | TrayShowMainWindow, 0, kEnd | TrayShowTrayMenu}},
               {{E::MiddleUp, E::Other}, {kEnd | TrayMarkDustboxesRead, 0}}};
  for (const auto& c : cases) {
    CTrayMouse mouse;
    std::vector<std::uint32_t> actions;
    for (TrayEvent event : c.events) actions.push_back(mouse.Handle(event));
    EXPECT_EQ(actions, c.actions);
  }
}

TEST_F(FrameTest, TrayMarksEveryDustboxReadAndShowsTheFirstMailboxNotified) {
  Fill();
  MarkEveryDustboxRead(set);
  EXPECT_EQ(set.DustboxUnopenedCount(-1), 0);
  EXPECT_EQ(set.UnopenedCount(-1), 2);
  EXPECT_EQ(MailboxToShowForNewMail(set), 0);
  set.Get(1)->friendCount = 1;
  set.Get(1)->Config().Set(CMailboxConfig::NotifyFriend, true);
  EXPECT_EQ(MailboxToShowForNewMail(set), 1);
}

// ---- The new-mail notification ----

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
               {1, false, 0, false, "0"},
               {1, true, 10, true, "sound blink " + floating},
               {1, true, 0, true, "sound blink 0"},
               {2, true, 10, true, "0"},
               {3, false, 10, true, "sound " + centred},
               {3, false, 10, false, "sound " + floating},
               {3, true, 10, true, "sound blink " + centred},
               {3, true, 0, true, "sound blink 0"},
               {3, false, 0, false, "sound 0"},
               {4, true, 10, true, "sound blink " + floating},
               {4, false, 10, true, "sound " + floating},
               {4, false, 0, false, "sound 0"},
               {0, true, 10, true, "0"},
               {5, true, 10, true, "0"}};
  for (const auto& c : cases)
    EXPECT_EQ(Text(DecideNotification(c.trigger, c.due, c.seconds, c.visible)), c.expected)
        << c.trigger << c.due << c.seconds << c.visible;
}

TEST_F(FrameTest, ReceivedMailIsCountedPerTriggerAndTimedSpamStaysSilent) {
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  int deleteNow = 0;
  const auto store = [&](int index, const std::string& subject, int verdict) {
    CMailMessage message = Message(subject, "", verdict);
    ASSERT_GT(set.Get(index)->StoreRetrieved(message, deleteNow), 0);
  };
  store(0, "s", VerdictSpam);
  const MailReceived spam = OnMailReceived(set, kTriggerTimer, 0, 10, true);
  EXPECT_EQ(spam.spamCount, 1u);
  EXPECT_EQ(Text(spam.decision), "0");
  EXPECT_EQ(spam.restartTimers, 0);
  store(0, "a1", VerdictFriend);
  store(1, "b1", VerdictFriend);
  const MailReceived one = OnMailReceived(set, kTriggerCommand, 1, 10, false);
  EXPECT_EQ(one.friendCount, 1u);
  EXPECT_TRUE(one.decision.blink);
  EXPECT_EQ(one.restartTimers, 1);
  // The timed run sums all mailboxes; a's new-mail flag is still there.
  const MailReceived all = OnMailReceived(set, kTriggerTimer, -1, 10, false);
  EXPECT_EQ(all.friendCount, 2u);
  EXPECT_TRUE(all.decision.sound);
  EXPECT_EQ(all.restartTimers, -1);
  // Nothing new since: a timed run stays silent, a manual receive still shows its counts.
  EXPECT_EQ(Text(OnMailReceived(set, kTriggerTimer, -1, 10, true).decision), "0");
  EXPECT_EQ(Text(OnMailReceived(set, kTriggerTray, -1, 10, false).decision),
            "sound window " + std::to_string(NotifyBottomRight));
}

TEST_F(FrameTest, NotificationSettingsAndRememberedPosition) {
  NotifySettings settings = LoadNotifySettings(profile);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::Beep);
  ASSERT_TRUE(profile.WriteString("Misc", "NotifySound", "ding.wav"));
  ASSERT_TRUE(profile.WriteInt("Geometry", "NotifyWindowPosX", -20));
  settings = LoadNotifySettings(profile);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::File);
  EXPECT_EQ(settings.positionX, -20);
  EXPECT_FALSE(settings.positionY.has_value());
  const ScreenSize area{1000, 800}, window{100, 50};
  // Only floating and with both keys is the remembered position used.
  EXPECT_EQ(NotifyWindowPosition(true, settings, 5, area, window), (ScreenPoint{900, 750}));
  ASSERT_TRUE(SaveNotifyPosition(profile, {12, 34}));
  ASSERT_TRUE(profile.WriteInt("Misc", "NotifyBySound", 0));
  settings = LoadNotifySettings(profile);
  EXPECT_EQ(ChooseNotifySound(settings), NotifySound::None);
  EXPECT_EQ(NotifyWindowPosition(true, settings, 5, area, window), (ScreenPoint{12, 34}));
  EXPECT_EQ(NotifyWindowPosition(false, settings, 1, area, window), (ScreenPoint{450, 375}));
  const std::pair<int, ScreenPoint> modes[] = {{1, {350, 275}}, {2, {0, 0}},     {3, {700, 0}},
                                               {4, {0, 549}},   {5, {700, 549}}, {0, {0, 0}}};
  for (const auto& [mode, point] : modes)
    EXPECT_EQ(PositionInArea(mode, {801, 600}, {101, 51}), point) << mode;
  for (const auto& [seconds, ms] :
       std::vector<std::pair<int, int>>{{0, 0}, {-3, 0}, {10, 10000}, {INT_MAX, INT_MAX}})
    EXPECT_EQ(NotifyCloseMilliseconds(seconds), ms) << seconds;
}

TEST(NotificationTest, ADragKeepsTheGrabPointUnderTheCursorAndCtrlKeepsItOnTheDesktop) {
  const struct {
    ScreenPoint cursor;
    bool ctrl;
    ScreenSize window;
    ScreenPoint position;
  } cases[] = {{{500, 400}, false, {100, 50}, {490, 395}},
               {{500, 400}, true, {100, 50}, {490, 395}},
               {{5, 0}, false, {100, 50}, {-5, -5}},
               {{5, 0}, true, {100, 50}, {0, 0}},
               {{2000, 2000}, false, {100, 50}, {1990, 1995}},
               {{2000, 2000}, true, {100, 50}, {924, 718}},
               // Larger than the desktop: the corner stays on it.
               {{500, 400}, true, {1100, 50}, {0, 395}}};
  // Grabbed 10 right and 5 below the window's corner; desktop 1024 x 768.
  for (const auto& c : cases)
    EXPECT_EQ(DragPosition(c.cursor, {10, 5}, c.ctrl, c.window, {1024, 768}), c.position)
        << c.cursor.x << "," << c.cursor.y << c.ctrl;
}

TEST(NotificationTest, ClicksCloseADragMovesAndRemembers) {
  CNotifyMouse mouse;
  EXPECT_EQ(mouse.LeftDown(false, false, true, {10, 10}, {0, 0}), NotifyNothing);
  EXPECT_EQ(mouse.MouseMove({50, 50}, false, {100, 50}, {1024, 768}), NotifyNothing);
  EXPECT_EQ(mouse.LeftUp(), NotifyReleaseCapture | NotifyEndNewMail | NotifyClose);
  EXPECT_EQ(mouse.LeftDown(true, false, true, {110, 105}, {100, 100}), NotifyStartDrag);
  EXPECT_EQ(mouse.MouseMove({5, 5}, true, {100, 50}, {1024, 768}), NotifyMove);
  EXPECT_EQ(mouse.Position(), (ScreenPoint{0, 0}));
  EXPECT_EQ(mouse.LeftUp(),
            NotifyReleaseCapture | NotifyEndNewMail | NotifyRestartTimer | NotifySavePosition);
  // Inside the main window there is no drag.
  EXPECT_EQ(mouse.LeftDown(false, true, false, {10, 10}, {0, 0}), NotifyNothing);
  EXPECT_EQ(mouse.LeftUp() & NotifyClose, NotifyClose);
  EXPECT_EQ(mouse.RightUp(), NotifyShowNewMailbox | NotifyEndNewMail | NotifyClose);
  EXPECT_EQ(mouse.MiddleUp(false),
            NotifyLaunchMailer | NotifyEndNewMail | NotifyRaiseMainWindow | NotifyClose);
  EXPECT_NE(mouse.MiddleUp(true) & NotifyHideMainWindow, 0u);
}

TEST(NotificationTest, ANewerWindowStaysCurrentWhenTheOlderGoes) {
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
