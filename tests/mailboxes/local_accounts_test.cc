// The local accounts mail clients log in with: no two mailboxes share a user name, and a login
// matches user and password exactly.
#include <gtest/gtest.h>

#include <string>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"

namespace qm {
namespace {

using test::MailboxSetTest;

// Mailbox 0 logs in as u1 and its dustbox as d1; mailbox 1 receives the account under test.
TEST_F(MailboxSetTest, AssignRefusesNamesThatAnotherMailboxLogsInWith) {
  const struct {
    LocalAccount account;
    int result;
  } cases[] = {{{"u2", "p2", true, "d2", "dp2"}, 1},
               {{"u1", "other", false, "", ""}, 0},
               {{"u2", "p2", true, "u1", "x"}, 0},
               {{"d1", "p2", false, "", ""}, 0},
               {{"u2", "p2", true, "d1", "x"}, 0},
               // A clashing dustbox user without dustbox access is dropped.
               {{"u2", "p2", false, "u1", "x"}, 1},
               {{"u2", "p2", true, "u2", "x"}, 0},
               {{"U1", "p2", false, "", ""}, 1},
               // Nobody logs in with an empty name, so empty names never clash.
               {{"", "p2", false, "", ""}, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.account.user + "/" + c.account.dustboxUser);
    auto set = Set({"first", "second"});
    ASSERT_EQ(set->AssignLocalAccount(0, {"u1", "p1", true, "d1", "dp1"}), 1);
    const CMailboxConfig before = set->Get(1)->Config();
    EXPECT_EQ(set->AssignLocalAccount(1, c.account), c.result);
    const CMailboxConfig& after = set->Get(1)->Config();
    EXPECT_EQ(set->Get(1)->ConfigDirty(), c.result == 1);
    if (c.result == 0) {
      EXPECT_EQ(after, before);
      continue;
    }
    EXPECT_EQ(after.localUser + "/" + after.localPassword,
              c.account.user + "/" + c.account.password);
    EXPECT_EQ(after.Has(CMailboxConfig::DustboxAccess), c.account.dustboxAccess);
    EXPECT_EQ(
        after.dustboxUser + "/" + after.dustboxPassword,
        c.account.dustboxAccess ? c.account.dustboxUser + "/" + c.account.dustboxPassword : "/");
    EXPECT_EQ(set->AssignLocalAccount(2, c.account) + set->AssignLocalAccount(-1, c.account), 0);
  }
}

TEST_F(MailboxSetTest, FindLoginMatchesUserAndPasswordExactly) {
  auto set = Set({"a", "b", "c", "d"});
  ASSERT_EQ(set->AssignLocalAccount(0, {"ua", "pa", true, "ta", "tpa"}), 1);
  ASSERT_EQ(set->AssignLocalAccount(1, {"ub", "", false, "", ""}), 1);
  // c's dustbox name is set but access is off: stored this way, it still opens nothing.
  set->Get(2)->Config().localUser = "uc";
  set->Get(2)->Config().localPassword = "pc";
  set->Get(2)->Config().dustboxUser = "tc";
  set->Get(2)->Config().dustboxPassword = "tpc";
  // d shares c's user name (possible in files written elsewhere): the first match wins.
  set->Get(3)->Config().localUser = "uc";
  set->Get(3)->Config().localPassword = "pd";
  const struct {
    const char *user, *password, *mailbox;  // nullptr: no login
    int index;
  } cases[] = {
      {"ua", "pa", "a", 0},       {"ta", "tpa", "a_dustbox", 0}, {"ua", "wrong", nullptr, -1},
      {"ua", "tpa", nullptr, -1}, {"ub", "", nullptr, -1},       {"tc", "tpc", nullptr, -1},
      {"uc", "pc", "c", 2},       {"uc", "pd", "d", 3},          {"", "", nullptr, -1},
      {"UA", "pa", nullptr, -1},  {"ua", "p", nullptr, -1},      {"ua", "pab", nullptr, -1},
      {"ua", "pb", nullptr, -1},  {"ta", "TPA", nullptr, -1}};
  for (const auto& c : cases) {
    int index = 99;
    CMailbox* found = set->FindLogin(c.user, c.password, &index);
    EXPECT_EQ(found == nullptr ? "(none)" : found->Name(),
              c.mailbox == nullptr ? "(none)" : c.mailbox)
        << c.user << " / " << c.password;
    EXPECT_EQ(index, c.index) << c.user << " / " << c.password;
  }
}

}  // namespace
}  // namespace qm
