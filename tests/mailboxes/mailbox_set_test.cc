// The set of mailboxes: the list in the settings, names, removal while busy, the local accounts
// mail clients log in with, and changes of the server-deletion rule.
#include "mailboxes/mailbox_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "mailbox_set_fixture.h"
#include "support/held_lock.h"

namespace qm {
namespace {

using test::MailboxSetTest;
using Strings = std::vector<std::string>;

// Names that cannot be added are skipped, and the list saved again holds what was loaded.
TEST_F(MailboxSetTest, LoadsTheListedMailboxesInOrderAndSavesTheList) {
  for (const auto& [value, saved] :
       {std::pair{"b:a:", "b:a:"}, {"a::b:", "a:"}, {"a:a: a :x?y:a_dustbox:c:", "a:c:"}}) {
    ASSERT_TRUE(profile.WriteString(CMailboxSet::kListSection, CMailboxSet::kListKey, value));
    CMailboxSet set(profile);
    EXPECT_EQ(set.LoadAll() + set.SaveList(), 2);
    EXPECT_EQ(ListValue(), saved);
  }
}

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

// Mailbox 0 logs in as u1 and its dustbox as d1; mailbox 1 receives the account under test. A
// dustbox user without dustbox access is dropped; empty names never clash.
TEST_F(MailboxSetTest, AssignRefusesNamesThatAnotherMailboxLogsInWith) {
  // user password dustbox-access dustbox-user dustbox-password > what is stored ("+": access)
  for (const std::string row :
       {"u2 p2 1 d2 dp2>u2/p2 d2/dp2+", "u1 other 0 - ->", "u2 p2 1 u1 x>", "d1 p2 0 - ->",
        "u2 p2 1 d1 x>", "u2 p2 1 u2 x>", "u2 p2 0 u1 x>u2/p2 /", "U1 p2 0 - ->U1/p2 /",
        "- p2 0 - ->/p2 /"}) {
    std::istringstream in(row.substr(0, row.find('>')));
    std::string f[5];
    for (std::string& field : f) in >> field, field = field == "-" ? "" : field;
    const LocalAccount account{f[0], f[1], f[2] == "1", f[3], f[4]};
    auto set = Set({"first", "second"});
    ASSERT_EQ(set->AssignLocalAccount(0, {"u1", "p1", true, "d1", "dp1"}), 1);
    const int assigned = set->AssignLocalAccount(1, account);
    const CMailboxConfig& after = set->Get(1)->Config();
    const std::string stored = after.localUser + "/" + after.localPassword + " " +
                               after.dustboxUser + "/" + after.dustboxPassword +
                               (after.Has(CMailboxConfig::DustboxAccess) ? "+" : "");
    EXPECT_EQ(
        std::to_string(assigned * 10 + set->Get(1)->ConfigDirty()) + ">" + (assigned ? stored : ""),
        (row.back() == '>' ? "0>" : "11>") + row.substr(row.find('>') + 1));
    EXPECT_EQ(set->AssignLocalAccount(2, account) + set->AssignLocalAccount(-1, account), 0);
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

std::string Of(Strings uidls) {
  std::sort(uidls.begin(), uidls.end());
  std::string joined;
  for (const std::string& uidl : uidls) joined += (joined.empty() ? "" : " ") + uidl;
  return joined;
}
std::string Of(CUidList list) {
  Strings uidls;
  std::string uidl, messageId;
  for (list.Rewind(); list.Next(uidl, messageId);) uidls.push_back(uidl);
  return Of(uidls);
}

constexpr std::uint32_t kFriend = CMailboxConfig::KeepFriendOnServer;
constexpr auto kRetrieved = DeleteWhenRetrieved, kDustboxed = DeleteWhenDustboxed,
               kPurged = DeleteWhenPurged, kKeepAll = KeepOnServer;
struct PolicyCase {
  ServerDeletion from, to;
  std::uint32_t exemptions;
  std::string expected;  // asked? | pending | deleted here | known | tracked by stored messages
};
class ChangeServerDeletionTest : public MailboxSetTest,
                                 public ::testing::WithParamInterface<PolicyCase> {};

// The mailbox holds friend mail F1 and other mail O1, its dustbox spam S1 and friend mail F2,
// all with their server copies known; D1 was deleted here and kept on the server, and P1 waits
// for deletion there. Mail deleted here must not come back.
TEST_P(ChangeServerDeletionTest, TreatsStoredMailAndServerCopiesAsTheNewPolicySays) {
  const PolicyCase& c = GetParam();
  auto set = Set({"m"});
  CMailbox& mailbox = *set->Get(0);
  CMailboxClient& client = mailbox.Client();
  for (const auto& [box, subject, uidl, verdict] : {std::tuple{&mailbox, "f1", "F1", VerdictFriend},
                                                    {&mailbox, "o1", "O1", VerdictOther},
                                                    {mailbox.Dustbox(), "s1", "S1", VerdictSpam},
                                                    {mailbox.Dustbox(), "f2", "F2", VerdictFriend}})
    Store(*box, subject, uidl, verdict);
  client.RegisterKnown("D1", "<d1@x>"), client.ForgetDeleted("D1");
  client.RegisterKnown("P1", "<p1@x>"), client.RequestServerDeletion("P1");
  mailbox.Config().SetServerDeletion(c.from);
  mailbox.Config().options |= c.exemptions;
  bool asked = false;
  ASSERT_EQ(set->ChangeServerDeletion(0, c.to, DeletedHereAnswer::Keep, &asked), 1);
  EXPECT_EQ(mailbox.Config().GetServerDeletion(), c.to);
  Strings tracked;
  for (CMailbox* box : {&mailbox, mailbox.Dustbox()})
    for (int n = 1; n <= box->MessageCount(); ++n)
      if (!box->Mark(n).uidl.empty()) tracked.push_back(box->Mark(n).uidl);
  EXPECT_EQ(std::string(asked ? "asked" : "") + "|" + Of(client.PendingDeletions()) + "|" +
                Of(client.DeletedHere()) + "|" + Of(client.KnownUidls()) + "|" + Of(tracked),
            c.expected);
  EXPECT_EQ(
      set->ChangeServerDeletion(1, c.to, DeletedHereAnswer::Keep) +
          set->ChangeServerDeletion(0, static_cast<ServerDeletion>(4), DeletedHereAnswer::Keep),
      0);
}

// Answers to the question about mail deleted here are the dustbox settings page's concern.
INSTANTIATE_TEST_SUITE_P(
    Policies, ChangeServerDeletionTest,
    ::testing::Values(PolicyCase{kRetrieved, kKeepAll, 0, "||D1 P1|F1 F2 O1 S1|F1 F2 O1 S1"},
                      PolicyCase{kKeepAll, kRetrieved, 0, "|D1 F1 F2 O1 P1 S1|||"},
                      PolicyCase{kKeepAll, kRetrieved, kFriend, "asked|O1 P1 S1|D1|F1 F2|F1 F2"},
                      PolicyCase{kKeepAll, kDustboxed, 0, "|D1 F2 P1 S1||F1 O1|F1 O1"},
                      PolicyCase{kPurged, kPurged, 0, "|P1|D1|F1 F2 O1 S1|F1 F2 O1 S1"}));

}  // namespace
}  // namespace qm
