#include <gtest/gtest.h>

#include <string>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"

namespace qm {
namespace {

using test::MailboxSetTest;

// Mailbox 0 ("first") logs in as u1 and its dustbox as d1; mailbox 1 ("second") has no account
// yet and receives the account under test.
struct AssignCase {
  const char* label;
  LocalAccount account;
  int result;
};
void PrintTo(const AssignCase& c, std::ostream* os) { *os << c.label; }

class AssignLocalAccountTest : public MailboxSetTest,
                               public ::testing::WithParamInterface<AssignCase> {};

TEST_P(AssignLocalAccountTest, RefusesNamesThatAnotherMailboxLogsInWith) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("first"), 0);
  ASSERT_EQ(set.Add("second"), 1);
  ASSERT_EQ(set.AssignLocalAccount(0, {"u1", "p1", true, "d1", "dp1"}), 1);
  const CMailboxConfig before = set.Get(1)->Config();

  const AssignCase& c = GetParam();
  EXPECT_EQ(set.AssignLocalAccount(1, c.account), c.result);
  const CMailboxConfig& after = set.Get(1)->Config();
  if (c.result == 0) {
    EXPECT_EQ(after, before);
    EXPECT_FALSE(set.Get(1)->ConfigDirty());
    return;
  }
  EXPECT_TRUE(set.Get(1)->ConfigDirty());
  EXPECT_EQ(after.localUser, c.account.user);
  EXPECT_EQ(after.localPassword, c.account.password);
  EXPECT_EQ(after.Has(CMailboxConfig::DustboxAccess), c.account.dustboxAccess);
  EXPECT_EQ(after.dustboxUser, c.account.dustboxAccess ? c.account.dustboxUser : "");
  EXPECT_EQ(after.dustboxPassword, c.account.dustboxAccess ? c.account.dustboxPassword : "");
}

INSTANTIATE_TEST_SUITE_P(
    Accounts, AssignLocalAccountTest,
    ::testing::Values(
        AssignCase{"FreshNames", {"u2", "p2", true, "d2", "dp2"}, 1},
        AssignCase{"SameUser", {"u1", "other", false, "", ""}, 0},
        AssignCase{"DustboxUserIsAnotherUser", {"u2", "p2", true, "u1", "x"}, 0},
        AssignCase{"UserIsAnotherDustboxUser", {"d1", "p2", false, "", ""}, 0},
        AssignCase{"SameDustboxUser", {"u2", "p2", true, "d1", "x"}, 0},
        AssignCase{"ClashingDustboxUserWithoutAccessIsDropped", {"u2", "p2", false, "u1", "x"}, 1},
        AssignCase{"DustboxUserEqualsOwnUser", {"u2", "p2", true, "u2", "x"}, 0},
        AssignCase{"UserNamesDifferInCase", {"U1", "p2", false, "", ""}, 1},
        // Nobody logs in with an empty name, so empty names never clash.
        AssignCase{"EmptyUser", {"", "p2", false, "", ""}, 1}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST_F(MailboxSetTest, EmptyLocalUsersDoNotClash) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("a"), 0);
  ASSERT_EQ(set.Add("b"), 1);
  EXPECT_EQ(set.AssignLocalAccount(1, {"", "only a password", false, "", ""}), 1);
  EXPECT_EQ(set.AssignLocalAccount(2, {"u", "p", false, "", ""}), 0);
  EXPECT_EQ(set.AssignLocalAccount(-1, {"u", "p", false, "", ""}), 0);
}

struct LoginCase {
  const char* user;
  const char* password;
  const char* mailbox;  // nullptr: no login
  int mainIndex;
};
void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.user << " / " << c.password; }

class FindLoginTest : public MailboxSetTest, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(FindLoginTest, MatchesUserAndPasswordExactly) {
  CMailboxSet set(profile);
  for (const char* name : {"a", "b", "c", "d"}) ASSERT_GE(set.Add(name), 0);
  ASSERT_EQ(set.AssignLocalAccount(0, {"ua", "pa", true, "ta", "tpa"}), 1);
  ASSERT_EQ(set.AssignLocalAccount(1, {"ub", "", false, "", ""}), 1);
  // c's dustbox name is set but access is off: stored this way, it still opens nothing.
  set.Get(2)->Config().localUser = "uc";
  set.Get(2)->Config().localPassword = "pc";
  set.Get(2)->Config().dustboxUser = "tc";
  set.Get(2)->Config().dustboxPassword = "tpc";
  // d shares c's user name (possible in files written elsewhere): the first match wins.
  set.Get(3)->Config().localUser = "uc";
  set.Get(3)->Config().localPassword = "pd";

  const LoginCase& c = GetParam();
  int index = 99;
  CMailbox* found = set.FindLogin(c.user, c.password, &index);
  if (c.mailbox == nullptr) {
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(index, -1);
    return;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->Name(), c.mailbox);
  EXPECT_EQ(index, c.mainIndex);
}

INSTANTIATE_TEST_SUITE_P(
    Logins, FindLoginTest,
    ::testing::Values(LoginCase{"ua", "pa", "a", 0}, LoginCase{"ta", "tpa", "a_dustbox", 0},
                      LoginCase{"ua", "wrong", nullptr, -1}, LoginCase{"ua", "tpa", nullptr, -1},
                      LoginCase{"ub", "", nullptr, -1}, LoginCase{"tc", "tpc", nullptr, -1},
                      LoginCase{"uc", "pc", "c", 2}, LoginCase{"uc", "pd", "d", 3},
                      LoginCase{"", "", nullptr, -1}, LoginCase{"UA", "pa", nullptr, -1},
                      // Passwords differ in length, in their last byte or only in case.
                      LoginCase{"ua", "p", nullptr, -1}, LoginCase{"ua", "pab", nullptr, -1},
                      LoginCase{"ua", "pb", nullptr, -1}, LoginCase{"ta", "TPA", nullptr, -1}));

}  // namespace
}  // namespace qm
