#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"

namespace qm {
namespace {

using test::MailboxSetTest;
using Uidls = std::vector<std::string>;

Uidls Sorted(CUidList list) {
  Uidls uidls;
  std::string uidl;
  std::string messageId;
  list.Rewind();
  while (list.Next(uidl, messageId)) uidls.push_back(uidl);
  std::sort(uidls.begin(), uidls.end());
  return uidls;
}

Uidls TrackedIn(const CMailbox& mailbox) {
  Uidls uidls;
  for (int n = 1; n <= mailbox.MessageCount(); ++n) {
    if (!mailbox.Mark(n).uidl.empty()) uidls.push_back(mailbox.Mark(n).uidl);
  }
  std::sort(uidls.begin(), uidls.end());
  return uidls;
}

struct PolicyCase {
  const char* label;
  ServerDeletion from;
  ServerDeletion to;
  std::uint32_t exemptions;
  DeletedHereAnswer answer;
  bool asked;
  Uidls pending;
  Uidls deletedHere;
  Uidls known;
};
void PrintTo(const PolicyCase& c, std::ostream* os) { *os << c.label; }

constexpr std::uint32_t kFriend = CMailboxConfig::KeepFriendOnServer;
constexpr std::uint32_t kOther = CMailboxConfig::KeepOtherOnServer;
constexpr auto kDelete = DeletedHereAnswer::Delete;
constexpr auto kKeep = DeletedHereAnswer::Keep;
constexpr auto kRefetch = DeletedHereAnswer::Refetch;

class ChangeServerDeletionTest : public MailboxSetTest,
                                 public ::testing::WithParamInterface<PolicyCase> {};

// The mailbox holds friend mail F1 and other mail O1, its dustbox spam S1 and friend mail F2,
// all with their server copies known; D1 was deleted here and kept on the server, and P1 waits
// for deletion on the server.
TEST_P(ChangeServerDeletionTest, TreatsStoredMailAndServerCopiesAsTheNewPolicySays) {
  const PolicyCase& c = GetParam();
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("m"), 0);
  CMailbox& mailbox = *set.Get(0);
  CMailboxClient& client = mailbox.Client();
  Store(mailbox, "friend1", "F1", VerdictFriend);
  Store(mailbox, "other1", "O1", VerdictOther);
  Store(*mailbox.Dustbox(), "spam1", "S1", VerdictSpam);
  Store(*mailbox.Dustbox(), "friend2", "F2", VerdictFriend);
  client.RegisterKnown("D1", "<d1@example.org>");
  client.ForgetDeleted("D1");
  client.RegisterKnown("P1", "<p1@example.org>");
  client.RequestServerDeletion("P1");
  mailbox.Config().SetServerDeletion(c.from);
  mailbox.Config().options |= c.exemptions;

  bool asked = !c.asked;
  ASSERT_EQ(set.ChangeServerDeletion(0, c.to, c.answer, &asked), 1);
  EXPECT_EQ(asked, c.asked);
  EXPECT_EQ(mailbox.Config().GetServerDeletion(), c.to);
  EXPECT_EQ(Sorted(client.PendingDeletions()), c.pending);
  EXPECT_EQ(Sorted(client.DeletedHere()), c.deletedHere);
  EXPECT_EQ(Sorted(client.KnownUidls()), c.known);
  // A stored message keeps its unique id exactly while its server copy stays known.
  Uidls tracked = TrackedIn(mailbox);
  const Uidls inDustbox = TrackedIn(*mailbox.Dustbox());
  tracked.insert(tracked.end(), inDustbox.begin(), inDustbox.end());
  std::sort(tracked.begin(), tracked.end());
  EXPECT_EQ(tracked, c.known);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ChangeServerDeletionTest,
    ::testing::Values(
        // Mail deleted here must not come back: waiting deletions become kept copies.
        PolicyCase{"ToKeep",
                   DeleteWhenRetrieved,
                   KeepOnServer,
                   0,
                   kDelete,
                   false,
                   {},
                   {"D1", "P1"},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"ToKeepNeverAsks",
                   DeleteWhenPurged,
                   KeepOnServer,
                   kFriend | kOther,
                   kRefetch,
                   false,
                   {},
                   {"D1", "P1"},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"ToRetrieved",
                   KeepOnServer,
                   DeleteWhenRetrieved,
                   0,
                   kKeep,
                   false,
                   {"D1", "F1", "F2", "O1", "P1", "S1"},
                   {},
                   {}},
        PolicyCase{"ToRetrievedKeepsExemptFriendMail",
                   KeepOnServer,
                   DeleteWhenRetrieved,
                   kFriend,
                   kKeep,
                   true,
                   {"O1", "P1", "S1"},
                   {"D1"},
                   {"F1", "F2"}},
        PolicyCase{"ToDustboxedReleasesTheDustboxOnly",
                   KeepOnServer,
                   DeleteWhenDustboxed,
                   0,
                   kKeep,
                   false,
                   {"D1", "F2", "P1", "S1"},
                   {},
                   {"F1", "O1"}},
        PolicyCase{"ToPurgedReleasesNothing",
                   DeleteWhenRetrieved,
                   DeleteWhenPurged,
                   0,
                   kKeep,
                   false,
                   {"D1", "P1"},
                   {},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"AnswerDelete",
                   KeepOnServer,
                   DeleteWhenPurged,
                   kOther,
                   kDelete,
                   true,
                   {"D1", "P1"},
                   {},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"AnswerKeep",
                   KeepOnServer,
                   DeleteWhenPurged,
                   kOther,
                   kKeep,
                   true,
                   {"P1"},
                   {"D1"},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"AnswerRefetch",
                   KeepOnServer,
                   DeleteWhenPurged,
                   kOther,
                   kRefetch,
                   true,
                   {"P1"},
                   {},
                   {"F1", "F2", "O1", "S1"}},
        PolicyCase{"SamePolicyDoesNothing",
                   DeleteWhenPurged,
                   DeleteWhenPurged,
                   0,
                   kDelete,
                   false,
                   {"P1"},
                   {"D1"},
                   {"F1", "F2", "O1", "S1"}}),
    [](const auto& testInfo) { return std::string(testInfo.param.label); });

TEST_F(MailboxSetTest, ChangeServerDeletionAsksNothingWithoutMailDeletedHere) {
  CMailboxSet set(profile);
  ASSERT_EQ(set.Add("m"), 0);
  set.Get(0)->Config().Set(CMailboxConfig::KeepFriendOnServer, true);
  bool asked = true;
  ASSERT_EQ(set.ChangeServerDeletion(0, DeleteWhenPurged, DeletedHereAnswer::Refetch, &asked), 1);
  EXPECT_FALSE(asked);
  EXPECT_EQ(set.ChangeServerDeletion(1, KeepOnServer, DeletedHereAnswer::Keep), 0);
  EXPECT_EQ(set.ChangeServerDeletion(0, static_cast<ServerDeletion>(4), DeletedHereAnswer::Keep),
            0);
  EXPECT_EQ(set.Get(0)->Config().GetServerDeletion(), DeleteWhenPurged);
}

}  // namespace
}  // namespace qm
