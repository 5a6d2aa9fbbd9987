// What the mailbox does with its messages: storing retrieved mail, removing, restoring and
// trimming with their server copies, classifying, and serving a mail client's session.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "store_fixture.h"

namespace qm {
namespace {

using Subjects = std::vector<std::string>;

// Decides verdicts by the subject's start, as the real classifier does by its rules.
class FakeClassifier : public IClassifier {
 public:
  void Classify(CMailMessage& message) override {
    ++calls;
    const std::string& subject = message.Subject();
    message.mark.SetClassification(subject.rfind("spam", 0) == 0     ? VerdictSpam
                                   : subject.rfind("friend", 0) == 0 ? VerdictFriend
                                                                     : VerdictOther,
                                   subject.rfind("spam", 0) == 0     ? ReasonDomainZone
                                   : subject.rfind("friend", 0) == 0 ? ReasonFriendList
                                                                     : ReasonNone);
  }
  int calls = 0;
};

class MailboxOpsTest : public test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    box = Load("inbox");
    box->SetClassifier(&classifier);
  }
  // Stores retrieved messages the way the retrieval driver does; returns the last deleteNow.
  int Retrieve(const Subjects& subjects) {
    int deleteNow = -1;
    for (const std::string& subject : subjects) {
      CMailMessage message = Message(Text(subject), "U" + subject);
      classifier.Classify(message);
      EXPECT_GT(box->StoreRetrieved(message, deleteNow), 0);
    }
    return deleteNow;
  }
  static Subjects SubjectsOf(const CMailbox& mailbox) {
    Subjects subjects;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      subjects.push_back(mailbox.Summary(n).subject);
    return subjects;
  }
  // The unique ids of a list, sorted, joined by spaces.
  static std::string Joined(CUidList list) {
    std::set<std::string> uidls;
    std::string uidl, messageId;
    for (list.Rewind(); list.Next(uidl, messageId);) uidls.insert(uidl);
    std::string joined;
    for (const std::string& each : uidls) joined += (joined.empty() ? "" : " ") + each;
    return joined;
  }
  static bool In(const CUidList& list, const std::string& uidl) {
    std::string ignored;
    return list.Find(uidl, ignored) != 0;
  }

  FakeClassifier classifier;
  std::unique_ptr<CMailbox> box;
};

TEST_F(MailboxOpsTest, StoreRetrievedFollowsTheDisposition) {
  // Defaults: spam to the dustbox, copies deleted on retrieval.
  EXPECT_EQ(Retrieve({"spam 1"}), 1);
  EXPECT_EQ(box->Dustbox()->MessageCount(), 1);
  EXPECT_EQ(box->Dustbox()->Mark(1).uidl, "");
  box->Config().Set(CMailboxConfig::HideOther, true);
  box->Config().Set(CMailboxConfig::KeepOtherOnServer, true);
  EXPECT_EQ(Retrieve({"other"}), 0);
  EXPECT_TRUE(box->Mark(1).Hidden());
  EXPECT_EQ(box->Mark(1).uidl, "Uother");
  EXPECT_TRUE(In(box->Client().KnownUidls(), "Uother"));
  EXPECT_EQ(box->spamCount.load() + 10 * box->otherCount.load(), 11u);
  EXPECT_TRUE(box->TakeNewMail());
  EXPECT_FALSE(box->TakeNewMail());
  // Mail left unclassified keeps its server copy.
  CMailMessage unclassified = Message(Text("u"), "Uu", VerdictUnclassified);
  int deleteNow = -1;
  ASSERT_GT(box->StoreRetrieved(unclassified, deleteNow), 0);
  EXPECT_EQ(deleteNow, 0);
}

TEST_F(MailboxOpsTest, RemovalsRewriteOnceAndShiftTheRestDownWithTheirMarks) {
  box->Config().SetServerDeletion(KeepOnServer);
  Retrieve({"m1", "m2", "m3", "m4", "m5", "m6"});
  box->SetOpened(6, true);
  int renames = 0;
  SetFileFaultInjector(
      [&renames](FileOperation op) { return renames += op == FileOperation::Rename, false; });
  EXPECT_EQ(box->RemoveMessages({2, 5, 4, 5, 9}, nullptr), 3);
  SetFileFaultInjector(nullptr);
  // One for the message file, one each for the intent, the marks and the server lists.
  EXPECT_EQ(renames, 4);
  EXPECT_EQ(SubjectsOf(*box), (Subjects{"m1", "m3", "m6"}));
  EXPECT_EQ(Read("inbox.mbx"), Text("m1") + Text("m3") + Text("m6"));
  EXPECT_TRUE(box->Mark(3).Opened());
  EXPECT_EQ(box->Mark(3).uidl, "Um6");
  EXPECT_EQ(box->StoredLength(3), Text("m6").size());
  EXPECT_EQ(Joined(box->Client().DeletedHere()), "Um2 Um4 Um5");
  EXPECT_EQ(box->RemoveMessages({0, 9}, nullptr), 0);
  EXPECT_EQ(box->TakeChanged(), 1);
  EXPECT_EQ(box->TakeChanged(), 0);
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.tmp")));
}

// What happens to the server copy when a message is removed here, by policy and by where the
// message goes: "known", "deletedHere" or "pending".
struct PolicyCase {
  ServerDeletion policy;
  const char* subject;
  bool keepFriend, toDustbox, dustboxCopyKeepsUidl;
  std::string list;
};

class ServerCopyPolicyTest : public MailboxOpsTest,
                             public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(ServerCopyPolicyTest, RemovalDecidesTheServerCopy) {
  const PolicyCase& c = GetParam();
  box->Config().SetServerDeletion(c.policy);
  box->Config().Set(CMailboxConfig::KeepFriendOnServer, c.keepFriend);
  box->Config().Set(CMailboxConfig::DustboxSpam, false);
  ASSERT_EQ(Retrieve({c.subject}), 0);
  ASSERT_EQ(box->RemoveMessage(1, c.toDustbox ? box->Dustbox() : nullptr), 1);
  const std::string uidl = "U" + std::string(c.subject);
  EXPECT_EQ(c.toDustbox ? box->Dustbox()->Mark(1).uidl : "-", !c.toDustbox             ? "-"
                                                              : c.dustboxCopyKeepsUidl ? uidl
                                                                                       : "");
  EXPECT_EQ(In(box->Client().KnownUidls(), uidl), c.list == "known");
  EXPECT_EQ(In(box->Client().DeletedHere(), uidl), c.list == "deletedHere");
  EXPECT_EQ(In(box->Client().PendingDeletions(), uidl), c.list == "pending");
}

INSTANTIATE_TEST_SUITE_P(
    Policies, ServerCopyPolicyTest,
    ::testing::Values(PolicyCase{DeleteWhenRetrieved, "friend", true, false, true, "deletedHere"},
                      PolicyCase{DeleteWhenDustboxed, "spam", false, true, false, "pending"},
                      PolicyCase{DeleteWhenDustboxed, "friend", true, true, true, "known"},
                      PolicyCase{DeleteWhenPurged, "spam", false, true, true, "known"},
                      PolicyCase{DeleteWhenPurged, "other", false, false, true, "pending"},
                      PolicyCase{KeepOnServer, "spam", false, false, true, "deletedHere"},
                      PolicyCase{KeepOnServer, "spam", false, true, true, "known"}));

TEST_F(MailboxOpsTest, TrimmingRequestsDeletionUnderPurgePolicyAndOnlyWhenLimited) {
  box->Config().SetServerDeletion(DeleteWhenPurged);
  box->Config().dustboxLimit = 2;
  Retrieve({"spam1", "spam2", "spam3", "spam4"});
  box->TrimDustbox();
  EXPECT_EQ(SubjectsOf(*box->Dustbox()), (Subjects{"spam3", "spam4"}));
  EXPECT_EQ(Joined(box->Client().PendingDeletions()), "Uspam1 Uspam2");
  box->Config().Set(CMailboxConfig::LimitDustbox, false);
  box->Config().dustboxLimit = 0;
  box->TrimDustbox();
  EXPECT_EQ(box->Dustbox()->MessageCount(), 2);
}

TEST_F(MailboxOpsTest, ClassificationOnDemandAndItsMarks) {
  CMailMessage m = Message(Text("friend hello"));
  ASSERT_EQ(box->AppendMessage(m), 1);
  unsigned reason = 99;
  EXPECT_EQ(box->GetClassification(1, false, &reason), VerdictFriend);
  EXPECT_EQ(reason, ReasonFriendList);
  EXPECT_EQ(box->Summary(1).verdict, VerdictFriend);
  EXPECT_EQ(box->GetClassification(1, false), VerdictFriend);
  EXPECT_EQ(classifier.calls, 1);
  box->GetClassification(1, true);
  EXPECT_EQ(classifier.calls, 2);
  EXPECT_EQ(box->SetClassification(2, 1, 1), 0);
  EXPECT_EQ(box->SetClassification(1, VerdictSpam, ReasonRelayZoneB), 1);
  EXPECT_EQ(box->Summary(1).reason, ReasonRelayZoneB);
}

// The retrieval deletes no server copy of a message it could not store. (Whatever operation
// fails, the files and the index agree: the fault sweep checks that.)
TEST_F(MailboxOpsTest, AFailedAppendChangesNothingAndSaysSo) {
  Retrieve({"kept"});
  const std::string before = Read("inbox.mbx");
  for (FileOperation failing : {FileOperation::Open, FileOperation::Write}) {
    SetFileFaultInjector([failing](FileOperation op) { return op == failing; });
    CMailMessage next = Message(Text("lost"));
    int deleteNow = 0;
    EXPECT_EQ(box->StoreRetrieved(next, deleteNow), -1);
    SetFileFaultInjector(nullptr);
  }
  EXPECT_EQ(box->MessageCount(), 1);
  EXPECT_EQ(Read("inbox.mbx"), before);
  // The log tells an unopenable file from a failed write; the mark is written first.
  EXPECT_EQ(reporter.logLines,
            (std::vector<std::string>{
                "MBX : File ( " + Path("inbox.jnl") + " ) could not be opend. ( errno = 5 )",
                "MBX : File I/O Error.( " + Path("inbox.jnl") + "  :  errno = 5 )"}));
}

// A mail client's session: hidden messages are not offered, and deletions wait for the commit.
// (The session's replies are checked byte for byte with the local POP3 server's tests.)
TEST_F(MailboxOpsTest, AMailClientsSessionServesVisibleMailAndDeletesAtTheCommit) {
  box->Config().SetServerDeletion(KeepOnServer);
  Retrieve({"one", "two", "three"});
  box->SetHidden(2);
  ASSERT_EQ(box->OpenMaildrop(), 1);
  std::string bytes;
  ASSERT_EQ(box->MaildropRetrieve(2, bytes), 1);
  EXPECT_EQ(bytes, Text("three"));
  EXPECT_EQ(box->MaildropRetrieve(3, bytes), 0);
  EXPECT_EQ(box->MaildropTop(2, 0), "Subject: three\r\n\r\n");
  EXPECT_EQ(box->MaildropDelete(1) + box->MaildropDelete(1) + box->MaildropDelete(0), 1);
  box->MaildropReset();
  ASSERT_EQ(box->MaildropCommit(), 1);
  EXPECT_EQ(box->MessageCount(), 3);
  EXPECT_EQ(box->MaildropDelete(1) + box->MaildropDelete(2), 2);
  ASSERT_EQ(box->MaildropCommit(), 1);
  box->CloseMaildrop();
  EXPECT_EQ(SubjectsOf(*box), Subjects{"two"});
  // The client's deletions are deletions for good: the copies stay on the server, unfetched.
  EXPECT_EQ(Joined(box->Client().DeletedHere()), "Uone Uthree");
}

}  // namespace
}  // namespace qm
