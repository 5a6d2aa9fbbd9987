// A change of the mailbox's server-deletion rule: what happens to its stored mail's server
// copies, and to the copies of mail deleted here.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"

namespace qm {
namespace {

using test::MailboxSetTest;

// The unique ids, sorted, joined by spaces.
std::string Joined(std::vector<std::string> uidls) {
  std::sort(uidls.begin(), uidls.end());
  std::string joined;
  for (const std::string& uidl : uidls) joined += (joined.empty() ? "" : " ") + uidl;
  return joined;
}
std::string Joined(CUidList list) {
  std::vector<std::string> uidls;
  std::string uidl, messageId;
  for (list.Rewind(); list.Next(uidl, messageId);) uidls.push_back(uidl);
  return Joined(uidls);
}

constexpr std::uint32_t kFriend = CMailboxConfig::KeepFriendOnServer,
                        kOther = CMailboxConfig::KeepOtherOnServer, kBoth = kFriend | kOther;
constexpr auto kRetrieved = DeleteWhenRetrieved, kDustboxed = DeleteWhenDustboxed,
               kPurged = DeleteWhenPurged, kKeepAll = KeepOnServer;
constexpr auto kDelete = DeletedHereAnswer::Delete, kKeep = DeletedHereAnswer::Keep,
               kRefetch = DeletedHereAnswer::Refetch;

struct PolicyCase {
  const char* label;
  ServerDeletion from, to;
  std::uint32_t exemptions;
  DeletedHereAnswer answer;
  bool asked;
  const char *pending, *deletedHere, *known;
};
void PrintTo(const PolicyCase& c, std::ostream* os) { *os << c.label; }

class ChangeServerDeletionTest : public MailboxSetTest,
                                 public ::testing::WithParamInterface<PolicyCase> {};

// The mailbox holds friend mail F1 and other mail O1, its dustbox spam S1 and friend mail F2,
// all with their server copies known; D1 was deleted here and kept on the server, and P1 waits
// for deletion on the server.
TEST_P(ChangeServerDeletionTest, TreatsStoredMailAndServerCopiesAsTheNewPolicySays) {
  const PolicyCase& c = GetParam();
  auto set = Set({"m"});
  CMailbox& mailbox = *set->Get(0);
  CMailboxClient& client = mailbox.Client();
  Store(mailbox, "friend1", "F1", VerdictFriend);
  Store(mailbox, "other1", "O1", VerdictOther);
  Store(*mailbox.Dustbox(), "spam1", "S1", VerdictSpam);
  Store(*mailbox.Dustbox(), "friend2", "F2", VerdictFriend);
  client.RegisterKnown("D1", "<d1@x>");
  client.ForgetDeleted("D1");
  client.RegisterKnown("P1", "<p1@x>");
  client.RequestServerDeletion("P1");
  mailbox.Config().SetServerDeletion(c.from);
  mailbox.Config().options |= c.exemptions;

  bool asked = !c.asked;
  ASSERT_EQ(set->ChangeServerDeletion(0, c.to, c.answer, &asked), 1);
  EXPECT_EQ(asked, c.asked);
  EXPECT_EQ(mailbox.Config().GetServerDeletion(), c.to);
  EXPECT_EQ(Joined(client.PendingDeletions()), c.pending);
  EXPECT_EQ(Joined(client.DeletedHere()), c.deletedHere);
  EXPECT_EQ(Joined(client.KnownUidls()), c.known);
  // A stored message keeps its unique id exactly while its server copy stays known.
  std::vector<std::string> tracked;
  for (CMailbox* box : {&mailbox, mailbox.Dustbox()}) {
    for (int n = 1; n <= box->MessageCount(); ++n) {
      if (!box->Mark(n).uidl.empty()) tracked.push_back(box->Mark(n).uidl);
    }
  }
  EXPECT_EQ(Joined(tracked), c.known);
}

// Mail deleted here must not come back: waiting deletions become kept copies.
constexpr const char* kAll = "F1 F2 O1 S1";
using P = PolicyCase;
INSTANTIATE_TEST_SUITE_P(
    Policies, ChangeServerDeletionTest,
    ::testing::Values(
        P{"ToKeep", kRetrieved, kKeepAll, 0, kDelete, false, "", "D1 P1", kAll},
        P{"NeverAsks", kPurged, kKeepAll, kBoth, kRefetch, false, "", "D1 P1", kAll},
        P{"ToRetrieved", kKeepAll, kRetrieved, 0, kKeep, false, "D1 F1 F2 O1 P1 S1", "", ""},
        P{"FriendExempt", kKeepAll, kRetrieved, kFriend, kKeep, true, "O1 P1 S1", "D1", "F1 F2"},
        P{"ToDustboxed", kKeepAll, kDustboxed, 0, kKeep, false, "D1 F2 P1 S1", "", "F1 O1"},
        P{"ToPurged", kRetrieved, kPurged, 0, kKeep, false, "D1 P1", "", kAll},
        P{"AnswerDelete", kKeepAll, kPurged, kOther, kDelete, true, "D1 P1", "", kAll},
        P{"AnswerKeep", kKeepAll, kPurged, kOther, kKeep, true, "P1", "D1", kAll},
        P{"AnswerRefetch", kKeepAll, kPurged, kOther, kRefetch, true, "P1", "", kAll},
        P{"SamePolicy", kPurged, kPurged, 0, kDelete, false, "P1", "D1", kAll}),
    [](const auto& param) { return std::string(param.param.label); });

TEST_F(MailboxSetTest, ChangeServerDeletionRefusesAnUnknownMailboxOrPolicy) {
  auto set = Set({"m"});
  EXPECT_EQ(set->ChangeServerDeletion(1, KeepOnServer, kKeep), 0);
  EXPECT_EQ(set->ChangeServerDeletion(0, static_cast<ServerDeletion>(4), kKeep), 0);
  EXPECT_EQ(set->Get(0)->Config().GetServerDeletion(), DeleteWhenRetrieved);
}

}  // namespace
}  // namespace qm
