#include "ui/model/tray.h"

#include <gtest/gtest.h>

#include <vector>

#include "mailboxes/mailbox_set_fixture.h"

namespace qm {
namespace {

TEST(TrayBlinkTest, CyclesThroughThreePhasesUntilStopped) {
  CTrayBlink blink;
  EXPECT_EQ(blink.Tick(), TrayPicture::Normal);
  EXPECT_EQ(blink.State(), 0);

  blink.Start();
  EXPECT_EQ(blink.Picture(), TrayPicture::NewMail);
  std::vector<TrayPicture> shown;
  std::vector<int> states;
  for (int i = 0; i < 4; ++i) {
    shown.push_back(blink.Tick());
    states.push_back(blink.State());
  }
  EXPECT_EQ(shown, (std::vector<TrayPicture>{TrayPicture::Normal, TrayPicture::InBetween,
                                             TrayPicture::NewMail, TrayPicture::Normal}));
  EXPECT_EQ(states, (std::vector<int>{2, 3, 1, 2}));

  blink.Stop();
  EXPECT_FALSE(blink.Blinking());
  EXPECT_EQ(blink.Picture(), TrayPicture::Normal);
  EXPECT_EQ(blink.Tick(), TrayPicture::Normal);
}

struct MouseCase {
  const char* name;
  std::vector<TrayEvent> events;
  std::vector<std::uint32_t> actions;
};
void PrintTo(const MouseCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint32_t kEnd = TrayEndNewMail | TrayCloseNotification;

class TrayMouseTest : public ::testing::TestWithParam<MouseCase> {};
TEST_P(TrayMouseTest, ActsOncePerGesture) {
  CTrayMouse mouse;
  std::vector<std::uint32_t> actions;
  for (TrayEvent event : GetParam().events) actions.push_back(mouse.Handle(event));
  EXPECT_EQ(actions, GetParam().actions);
}

using E = TrayEvent;
INSTANTIATE_TEST_SUITE_P(
    Gestures, TrayMouseTest,
    ::testing::Values(
        MouseCase{"left click", {E::LeftDown, E::LeftUp}, {0, kEnd | TrayShowMailboxMenu}},
        MouseCase{"left double click",
                  {E::LeftDown, E::LeftUp, E::LeftDoubleClick, E::LeftUp, E::LeftDown, E::LeftUp},
                  {0, kEnd | TrayShowMailboxMenu, kEnd | TrayShowMainWindow, 0, 0,
                   kEnd | TrayShowMailboxMenu}},
        MouseCase{"right click", {E::RightDown, E::RightUp}, {0, kEnd | TrayShowTrayMenu}},
        MouseCase{"right double click",
                  {E::RightDown, E::RightUp, E::RightDoubleClick, E::RightUp},
                  {0, kEnd | TrayShowTrayMenu, kEnd | TrayRetrieveAll, 0}},
        // One button's double click does not swallow the other button's click.
        MouseCase{"left double then right",
                  {E::LeftDoubleClick, E::RightDown, E::RightUp},
                  {kEnd | TrayShowMainWindow, 0, kEnd | TrayShowTrayMenu}},
        MouseCase{"middle", {E::MiddleUp, E::Other}, {kEnd | TrayMarkDustboxesRead, 0}}));

using TrayMailboxTest = test::MailboxSetTest;

TEST_F(TrayMailboxTest, MarksEveryDustboxReadButNoMailbox) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  Store(*set.Get(0), "m", "", VerdictFriend);
  Store(*set.Get(0)->Dustbox(), "d1", "", VerdictSpam);
  Store(*set.Get(1)->Dustbox(), "d2", "", VerdictSpam);
  Store(*set.Get(1)->Dustbox(), "d3", "", VerdictSpam);
  MarkEveryDustboxRead(set);
  EXPECT_EQ(set.DustboxUnopenedCount(-1), 0);
  EXPECT_EQ(set.UnopenedCount(-1), 1);
}

TEST_F(TrayMailboxTest, NewMailShowsTheFirstNotifiedMailboxElseTheFirst) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  EXPECT_EQ(MailboxToShowForNewMail(set), 0);
  set.Get(1)->friendCount = 1;
  set.Get(1)->Config().Set(CMailboxConfig::NotifyFriend, true);
  EXPECT_EQ(MailboxToShowForNewMail(set), 1);
}

}  // namespace
}  // namespace qm
