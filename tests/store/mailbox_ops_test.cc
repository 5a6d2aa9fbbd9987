#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store/md5.h"
#include "store_fixture.h"

namespace qm {
namespace {

using test::StoreTest;

// Decides verdicts by subject, like the real classifier would by its rules.
class FakeClassifier : public IClassifier {
 public:
  void Classify(CMailMessage& message) override {
    ++calls;
    const std::string& subject = message.Subject();
    if (subject.rfind("spam", 0) == 0) {
      message.mark.SetClassification(VerdictSpam, ReasonDomainZone);
    } else if (subject.rfind("friend", 0) == 0) {
      message.mark.SetClassification(VerdictFriend, ReasonFriendList);
    } else {
      message.mark.SetClassification(VerdictOther, ReasonNone);
    }
  }
  int calls = 0;
};

class MailboxOpsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    box = CMailbox::CreateMain(Path("inbox"));
    ASSERT_EQ(box->Load(), 1);
    box->SetClassifier(&classifier);
  }
  // Stores a retrieved message the way the retrieval driver does.
  int Retrieve(const std::string& subject, const std::string& uidl, int& deleteNow) {
    CMailMessage message = Message(Text(subject), uidl);
    classifier.Classify(message);
    return box->StoreRetrieved(message, deleteNow);
  }
  std::vector<std::string> SubjectsOf(CMailbox& mailbox) {
    std::vector<std::string> subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      subjects.push_back(mailbox.Summary(n).subject);
    return subjects;
  }
  bool InList(const CUidList& list, const std::string& uidl) {
    std::string ignored;
    return list.Find(uidl, ignored) != 0;
  }

  FakeClassifier classifier;
  std::unique_ptr<CMailbox> box;
};

using Subjects = std::vector<std::string>;

TEST_F(MailboxOpsTest, StoreRetrievedFollowsTheDisposition) {
  int deleteNow = -1;
  // Defaults: spam to the dustbox, copies deleted on retrieval.
  EXPECT_EQ(Retrieve("spam 1", "U1", deleteNow), 1);
  EXPECT_EQ(deleteNow, 1);
  EXPECT_EQ(box->Dustbox()->MessageCount(), 1);
  EXPECT_EQ(box->Dustbox()->Mark(1).uidl, "");
  box->Config().Set(CMailboxConfig::HideOther, true);
  box->Config().Set(CMailboxConfig::KeepOtherOnServer, true);
  EXPECT_EQ(Retrieve("other 1", "U2", deleteNow), 1);
  EXPECT_EQ(deleteNow, 0);
  EXPECT_TRUE(box->Mark(1).Hidden());
  EXPECT_EQ(box->Mark(1).uidl, "U2");
  EXPECT_EQ(box->spamCount.load(), 1u);
  EXPECT_EQ(box->otherCount.load(), 1u);
  EXPECT_TRUE(box->TakeNewMail());
  EXPECT_FALSE(box->TakeNewMail());
}

TEST_F(MailboxOpsTest, RemovingShiftsEverythingDown) {
  int deleteNow = 0;
  box->Config().SetServerDeletion(KeepOnServer);
  for (const char* s : {"a", "b", "c"}) Retrieve(s, std::string("U") + s, deleteNow);
  box->SetOpened(3, true);
  const std::uint64_t lengthC = box->StoredLength(3);
  ASSERT_EQ(box->RemoveMessage(2, nullptr), 1);
  EXPECT_EQ(box->MessageCount(), 2);
  EXPECT_EQ(SubjectsOf(*box), (Subjects{"a", "c"}));
  EXPECT_TRUE(box->Mark(2).Opened());
  EXPECT_EQ(box->Mark(2).uidl, "Uc");
  EXPECT_EQ(box->StoredLength(2), lengthC);
  EXPECT_EQ(ReadAll(Path("inbox.mbx")), Text("a") + Text("c"));
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.tmp")));
  ASSERT_EQ(box->RemoveMessage(1, nullptr), 1);
  ASSERT_EQ(box->RemoveMessage(1, nullptr), 1);
  EXPECT_EQ(ReadAll(Path("inbox.mbx")), "");
  EXPECT_EQ(box->TakeChanged(), 1);
  EXPECT_EQ(box->TakeChanged(), 0);
}

// What happens to the server copy when a message is removed here, by policy and by where the
// message goes.
struct PolicyCase {
  const char* name;
  ServerDeletion policy;
  const char* subject;
  bool keepFriend;
  bool toDustbox;  // else deleted for good
  bool dustboxCopyKeepsUidl;
  const char* list;  // "known", "deletedHere" or "pending"
};

class ServerCopyPolicyTest : public MailboxOpsTest,
                             public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(ServerCopyPolicyTest, RemovalDecidesTheServerCopy) {
  const PolicyCase& c = GetParam();
  box->Config().SetServerDeletion(c.policy);
  box->Config().Set(CMailboxConfig::KeepFriendOnServer, c.keepFriend);
  box->Config().Set(CMailboxConfig::DustboxSpam, false);
  int deleteNow = 0;
  ASSERT_EQ(Retrieve(c.subject, "U", deleteNow), 1);
  ASSERT_EQ(deleteNow, 0);
  ASSERT_EQ(box->RemoveMessage(1, c.toDustbox ? box->Dustbox() : nullptr), 1);
  if (c.toDustbox) {
    ASSERT_EQ(box->Dustbox()->MessageCount(), 1);
    EXPECT_EQ(box->Dustbox()->Mark(1).uidl, c.dustboxCopyKeepsUidl ? "U" : "");
  }
  CMailboxClient& client = box->Client();
  EXPECT_EQ(InList(client.KnownUidls(), "U"), std::string(c.list) == "known");
  EXPECT_EQ(InList(client.DeletedHere(), "U"), std::string(c.list) == "deletedHere");
  EXPECT_EQ(InList(client.PendingDeletions(), "U"), std::string(c.list) == "pending");
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ServerCopyPolicyTest,
    ::testing::Values(
        PolicyCase{"RetrievedFriendKeptThenPurged", DeleteWhenRetrieved, "friend", true, false,
                   true, "deletedHere"},
        PolicyCase{"DustboxedSpamToDustbox", DeleteWhenDustboxed, "spam", false, true, false,
                   "pending"},
        PolicyCase{"DustboxedFriendExempt", DeleteWhenDustboxed, "friend", true, true, true,
                   "known"},
        PolicyCase{"PurgedToDustboxChangesNothing", DeleteWhenPurged, "spam", false, true, true,
                   "known"},
        PolicyCase{"PurgedDeletedForGood", DeleteWhenPurged, "other", false, false, true,
                   "pending"},
        PolicyCase{"KeepDeletedForGood", KeepOnServer, "spam", false, false, true, "deletedHere"},
        PolicyCase{"KeepToDustbox", KeepOnServer, "spam", false, true, true, "known"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(MailboxOpsTest, TrimmingTheDustboxRequestsDeletionUnderPurgePolicy) {
  box->Config().SetServerDeletion(DeleteWhenPurged);
  box->Config().dustboxLimit = 2;
  int deleteNow = 0;
  for (const char* s : {"spam 1", "spam 2", "spam 3", "spam 4"}) {
    Retrieve(s, std::string("U-") + s, deleteNow);
  }
  ASSERT_EQ(box->Dustbox()->MessageCount(), 4);
  box->TrimDustbox();
  EXPECT_EQ(SubjectsOf(*box->Dustbox()), (Subjects{"spam 3", "spam 4"}));
  const CUidList pending = box->Client().PendingDeletions();
  EXPECT_EQ(pending.Count(), 2u);
  EXPECT_TRUE(InList(pending, "U-spam 1") && InList(pending, "U-spam 2"));
  box->Config().Set(CMailboxConfig::LimitDustbox, false);
  box->Config().dustboxLimit = 0;
  box->TrimDustbox();
  EXPECT_EQ(box->Dustbox()->MessageCount(), 2);
}

TEST_F(MailboxOpsTest, RestoreBringsTheMessageBackWithItsMark) {
  box->Config().SetServerDeletion(KeepOnServer);
  int deleteNow = 0;
  Retrieve("spam", "U", deleteNow);
  ASSERT_EQ(box->Dustbox()->MessageCount(), 1);
  box->Dustbox()->SetOpened(1, true);
  ASSERT_EQ(box->RestoreFromDustbox(1), 1);
  EXPECT_EQ(box->Dustbox()->MessageCount(), 0);
  ASSERT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(box->Mark(1).uidl, "U");
  EXPECT_TRUE(box->Mark(1).Opened());
  EXPECT_EQ(box->Mark(1).GetVerdict(), VerdictSpam);
}

TEST_F(MailboxOpsTest, ClassificationOnDemand) {
  CMailMessage m = Message(Text("friend hello"));
  ASSERT_EQ(box->AppendMessage(m), 1);
  const int callsBefore = classifier.calls;
  unsigned reason = 99;
  EXPECT_EQ(box->GetClassification(1, false, &reason), VerdictFriend);
  EXPECT_EQ(reason, ReasonFriendList);
  EXPECT_EQ(box->Summary(1).verdict, VerdictFriend);
  EXPECT_EQ(box->GetClassification(1, false), VerdictFriend);
  EXPECT_EQ(classifier.calls, callsBefore + 1);
  box->GetClassification(1, true);
  EXPECT_EQ(classifier.calls, callsBefore + 2);
  EXPECT_EQ(box->SetClassification(2, 1, 1), 0);
  EXPECT_EQ(box->SetClassification(1, VerdictOther, ReasonNone), 1);
  EXPECT_EQ(box->Summary(1).verdict, -1);
}

class CountingEvents : public IStoreEvents {
 public:
  void UnreadChanged() override { ++unread; }
  void MaildropCommitted(CMailbox&, bool wasRemoved) override {
    ++commits;
    removed = wasRemoved;
  }
  int unread = 0;
  int commits = 0;
  bool removed = false;
};

TEST_F(MailboxOpsTest, OpenedMarksAndTheirRefresh) {
  CountingEvents events;
  SetStoreEvents(&events);
  CMailMessage m = Message(Text("x"));
  box->AppendMessage(m);
  box->AppendMessage(m);
  ASSERT_EQ(box->Save(), 1);
  EXPECT_EQ(box->UnopenedCount(), 2);
  EXPECT_EQ(box->SetOpened(1, true), 1);
  EXPECT_EQ(events.unread, 1);
  ASSERT_EQ(box->Save(), 1);
  // Already opened: nothing to save, nothing to refresh.
  EXPECT_EQ(box->SetOpened(1, true), 1);
  EXPECT_FALSE(box->MarksDirty());
  EXPECT_EQ(events.unread, 1);
  EXPECT_EQ(box->SetOpened(3, true), 0);
  box->MarkAllOpened();
  EXPECT_EQ(box->UnopenedCount(), 0);
  EXPECT_EQ(box->SetOpened(2, false), 1);
  EXPECT_EQ(box->UnopenedCount(), 1);
  SetStoreEvents(nullptr);
}

TEST_F(MailboxOpsTest, ReleaseServerCopiesSparesExemptMail) {
  box->Config().SetServerDeletion(KeepOnServer);
  box->Config().Set(CMailboxConfig::KeepFriendOnServer, true);
  int deleteNow = 0;
  Retrieve("friend", "UF", deleteNow);
  Retrieve("other", "UO", deleteNow);
  ASSERT_EQ(box->Save(), 1);
  box->ReleaseServerCopies();
  EXPECT_EQ(box->Mark(1).uidl, "UF");
  EXPECT_EQ(box->Mark(2).uidl, "");
  EXPECT_TRUE(InList(box->Client().PendingDeletions(), "UO"));
  // Marks and server lists reach their files together.
  auto reloaded = CMailbox::CreateMain(Path("inbox"));
  ASSERT_EQ(reloaded->Load(), 1);
  EXPECT_EQ(reloaded->Mark(2).uidl, "");
  EXPECT_TRUE(InList(reloaded->Client().PendingDeletions(), "UO"));
}

TEST_F(MailboxOpsTest, FailedAppendChangesNothing) {
  CMailMessage m = Message(Text("kept"));
  ASSERT_EQ(box->AppendMessage(m), 1);
  const std::string before = ReadAll(Path("inbox.mbx"));
  for (FileOperation failing : {FileOperation::Open, FileOperation::Write}) {
    SetFileFaultInjector([failing](FileOperation op) { return op == failing; });
    CMailMessage next = Message(Text("lost"));
    EXPECT_EQ(box->AppendMessage(next), -1);
    SetFileFaultInjector(nullptr);
    EXPECT_EQ(box->MessageCount(), 1);
    EXPECT_EQ(ReadAll(Path("inbox.mbx")), before);
  }
  // The log tells an unopenable file from a failed write; the mark is written first.
  ASSERT_EQ(reporter.logLines.size(), 2u);
  EXPECT_EQ(reporter.logLines[0],
            "MBX : File ( " + Path("inbox.jnl") + " ) could not be opend. ( errno = 5 )");
  EXPECT_EQ(reporter.logLines[1],
            "MBX : File I/O Error.( " + Path("inbox.jnl") + "  :  errno = 5 )");
}

TEST_F(MailboxOpsTest, FailedRewriteRemovesNothingAndTakesBackTheMovedCopy) {
  box->Config().SetServerDeletion(KeepOnServer);
  int deleteNow = 0;
  Retrieve("a", "UA", deleteNow);
  Retrieve("b", "UB", deleteNow);
  const std::string before = ReadAll(Path("inbox.mbx"));
  int renames = 0;
  // The first rename is the source's rewrite; the target's rollback may rename again.
  SetFileFaultInjector(
      [&renames](FileOperation op) { return op == FileOperation::Rename && ++renames == 1; });
  EXPECT_EQ(box->RemoveMessage(1, box->Dustbox()), 0);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(box->MessageCount(), 2);
  EXPECT_EQ(ReadAll(Path("inbox.mbx")), before);
  EXPECT_EQ(box->Dustbox()->MessageCount(), 0);
  EXPECT_EQ(ReadAll(Path("inbox_dustbox.mbx")), "");
  EXPECT_TRUE(InList(box->Client().KnownUidls(), "UA"));
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.tmp")));
}

TEST_F(MailboxOpsTest, SeveralRemovalsRewriteOnceWithTheSameDecisions) {
  box->Config().SetServerDeletion(KeepOnServer);
  int deleteNow = 0;
  for (int i = 1; i <= 6; ++i)
    Retrieve("m" + std::to_string(i), "U" + std::to_string(i), deleteNow);
  int renames = 0;
  SetFileFaultInjector([&renames](FileOperation op) {
    if (op == FileOperation::Rename) ++renames;
    return false;
  });
  EXPECT_EQ(box->RemoveMessages({2, 5, 4, 5, 9}, nullptr), 3);
  SetFileFaultInjector(nullptr);
  // One for the message file, one each for the intent, the marks and the server lists.
  EXPECT_EQ(renames, 4);
  EXPECT_EQ(SubjectsOf(*box), (Subjects{"m1", "m3", "m6"}));
  EXPECT_EQ(ReadAll(Path("inbox.mbx")), Text("m1") + Text("m3") + Text("m6"));
  EXPECT_EQ(box->Client().DeletedHere().Count(), 3u);
}

}  // namespace
}  // namespace qm
