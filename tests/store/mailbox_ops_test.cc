// What the mailbox does with its messages: removing and trimming with their server copies, and
// classifying. (Where server copies go on removal, the crash test's checks decide.)
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "store_fixture.h"

namespace qm {
namespace {

// Decides verdicts by the subject's first letter, as the real classifier does by its rules.
class FakeClassifier : public IClassifier {
 public:
  void Classify(CMailMessage& message) override {
    const char first = message.Subject()[0];
    const int verdict = first == 's' ? VerdictSpam : first == 'f' ? VerdictFriend : VerdictOther;
    message.mark.SetClassification(verdict,
                                   verdict == VerdictFriend ? ReasonFriendList : ReasonNone),
        ++calls;
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
  int Retrieve(const std::vector<std::string>& subjects) {
    int deleteNow = -1;
    for (const std::string& subject : subjects) {
      CMailMessage message = Message(Text(subject), "U" + subject);
      classifier.Classify(message);
      EXPECT_GT(box->StoreRetrieved(message, deleteNow), 0);
    }
    return deleteNow;
  }
  // Subjects and unique ids of a mailbox's messages, or the unique ids of a list; sorted.
  static std::string Of(const CMailbox& mailbox) {
    std::string all;
    for (int n = 1; n <= mailbox.MessageCount(); ++n)
      all += mailbox.Summary(n).subject + "=" + mailbox.Mark(n).uidl + " ";
    return all;
  }
  static std::string Of(CUidList list) {
    std::set<std::string> uidls;
    std::string uidl, messageId, joined;
    for (list.Rewind(); list.Next(uidl, messageId);) uidls.insert(uidl);
    for (const std::string& each : uidls) joined += each + " ";
    return joined;
  }
  FakeClassifier classifier;
  std::unique_ptr<CMailbox> box;
};

TEST_F(MailboxOpsTest, RemovalsRewriteOnceAndShiftTheRestDownWithTheirMarks) {
  box->Config().SetServerDeletion(KeepOnServer);
  Retrieve({"m1", "m2", "m3", "m4", "m5", "m6"});
  box->SetOpened(6, true);
  int renames = 0;
  SetFileFaultInjector(
      [&renames](FileOperation op) { return renames += op == FileOperation::Rename, false; });
  EXPECT_EQ(box->RemoveMessages({2, 5, 4, 5, 9}, nullptr), 3);
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(renames, 4);  // the message file, the intent, the marks and the server lists
  EXPECT_EQ(Of(*box) + "| " + Of(box->Client().DeletedHere()),
            "m1=Um1 m3=Um3 m6=Um6 | Um2 Um4 Um5 ");
  EXPECT_EQ(Read("inbox.mbx"), Text("m1") + Text("m3") + Text("m6"));
  EXPECT_TRUE(box->Mark(3).Opened());
  EXPECT_EQ(box->StoredLength(3), Text("m6").size());
  EXPECT_EQ(box->RemoveMessages({0, 9}, nullptr), 0);
  EXPECT_EQ(box->TakeChanged() * 10 + box->TakeChanged(), 10);
  EXPECT_FALSE(std::filesystem::exists(Path("inbox.tmp")));
}

TEST_F(MailboxOpsTest, TrimmingRequestsDeletionUnderPurgePolicyAndOnlyWhenLimited) {
  box->Config().SetServerDeletion(DeleteWhenPurged);
  box->Config().dustboxLimit = 2;
  Retrieve({"spam1", "spam2", "spam3", "spam4"});
  box->TrimDustbox();
  EXPECT_EQ(Of(*box->Dustbox()) + "| " + Of(box->Client().PendingDeletions()),
            "spam3=Uspam3 spam4=Uspam4 | Uspam1 Uspam2 ");
  box->Config().Set(CMailboxConfig::LimitDustbox, false);
  box->Config().dustboxLimit = 0;
  box->TrimDustbox();
  EXPECT_EQ(box->Dustbox()->MessageCount(), 2);
}

TEST_F(MailboxOpsTest, ClassificationOnDemandIsKeptUntilAskedAgain) {
  CMailMessage m = Message(Text("friend hello"));
  ASSERT_EQ(box->AppendMessage(m), 1);
  unsigned reason = 99;
  EXPECT_EQ(box->GetClassification(1, false, &reason), VerdictFriend);
  EXPECT_EQ(reason + 10 * box->Summary(1).verdict, ReasonFriendList + 10 * VerdictFriend);
  box->GetClassification(1, false);
  EXPECT_EQ(classifier.calls, 1);
  box->GetClassification(1, true);
  EXPECT_EQ(classifier.calls, 2);
  EXPECT_EQ(box->SetClassification(2, 1, 1) * 10 +
                box->SetClassification(1, VerdictSpam, ReasonRelayZoneB),
            1);
  EXPECT_EQ(box->Summary(1).reason, ReasonRelayZoneB);
}

}  // namespace
}  // namespace qm
