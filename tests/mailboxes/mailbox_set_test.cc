// The set of mailboxes: names, removal while busy, and the local accounts mail clients log in
// with.
#include "mailboxes/mailbox_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mailbox_set_fixture.h"
#include "support/held_lock.h"

namespace qm {
namespace {

using test::MailboxSetTest;
using Strings = std::vector<std::string>;

// Names are file names here and ":" separates them in the settings; a's dustbox name, or a name
// whose dustbox would be a's file, shares files.
TEST_F(MailboxSetTest, AddTrimsAndRefusesNamesInUseAndNamesThatAreNoFileNames) {
  auto set = Set({"\t a \r\n", "A", "b_dustbox"});
  EXPECT_EQ(Names(*set), (Strings{"a", "A", "b_dustbox"}));
  for (const char* used : {"a", "a_dustbox", "b"})
    EXPECT_EQ(set->Add(used), CMailboxSet::kNameInUse) << used;
  for (const char* bad : {"   ", "x:y", "../up", "sub/box", "a\\b", "a\nb", "a\x7F", "a?", "a|b"})
    EXPECT_EQ(set->Add(bad), CMailboxSet::kCannotCreate) << bad;
  EXPECT_EQ(set->Add("\xE5\x8F\x97\xE4\xBF\xA1 box"), 3);
  std::filesystem::create_directory("broken.mbx");  // a message file that cannot be opened
  EXPECT_EQ(set->Add("broken") * 10 + set->Count(), CMailboxSet::kCannotCreate * 10 + 4);
  EXPECT_FALSE(Exists("x:y.mbx") || Exists("../up.mbx"));
}

// A retrieval, or a mail client on the mailbox or its dustbox (another thread: the store lock is
// taken again freely by its owner thread), keeps the mailbox from being removed.
TEST_F(MailboxSetTest, ABusyMailboxIsKeptWholeAndGoesOnceFree) {
  for (int holder = 0; holder < 3; ++holder) {
    auto set = Set({"a", "b"});
    CMailbox& a = *set->Get(0);
    Store(a, "one", "U1", VerdictOther);
    ASSERT_EQ(set->SaveAll(0), 1);
    {
      COneSlotGuard retrieval(holder == 0 ? a.retrievalLock : set->Get(1)->retrievalLock);
      test::HeldLock client(holder == 1   ? a.storeLock
                            : holder == 2 ? a.Dustbox()->storeLock
                                          : set->Get(1)->storeLock);
      EXPECT_EQ(set->Remove(0), 0) << holder;
      EXPECT_TRUE(Exists("a.mbx") && a.MessageCount() == 1);
    }
    EXPECT_EQ(set->Remove(0), 1);
    EXPECT_EQ(Names(*set), Strings{"b"});
    EXPECT_FALSE(Exists("a.mbx") || Exists("a.flg") || Exists("a.cfg") || Exists("a_dustbox.mbx"));
    EXPECT_EQ(a.Name() + std::to_string(set->Remove(1)), "a0");  // still readable by old lookups
  }
}

TEST_F(MailboxSetTest, FindLoginMatchesUserAndPasswordExactly) {
  auto set = Set({"a", "b", "c", "d"});
  ASSERT_EQ(set->AssignLocalAccount(0, {"ua", "pa", true, "ta", "tpa"}), 1);
  ASSERT_EQ(set->AssignLocalAccount(1, {"ub", "", false, "", ""}), 1);
  // As files written elsewhere may hold: c's dustbox user without access, d with c's user name.
  CMailboxConfig &c = set->Get(2)->Config(), &d = set->Get(3)->Config();
  c.localUser = "uc", c.localPassword = "pc", c.dustboxUser = "tc", c.dustboxPassword = "tpc";
  d.localUser = "uc", d.localPassword = "pd";
  std::string found;
  for (const std::string login : {"ua pa", "ta tpa", "uc pc", "uc pd", "ua wrong", "ua tpa", "ub ",
                                  "tc tpc", " ", "UA pa", "ua p", "ua pab", "ta TPA"}) {
    int index = -1;
    CMailbox* mailbox =
        set->FindLogin(login.substr(0, login.find(' ')), login.substr(login.find(' ') + 1), &index);
    found += (mailbox == nullptr ? "-" : mailbox->Name()) + std::to_string(index) + " ";
  }
  EXPECT_EQ(found, "a0 a_dustbox0 c2 d3 --1 --1 --1 --1 --1 --1 --1 --1 --1 ");
}

}  // namespace
}  // namespace qm
