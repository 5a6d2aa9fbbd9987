// Retrieval runs against the in-memory server: which commands go out, what is stored, and what the
// unique-id lists remember afterwards.
#include "pop3client/retrieval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fake_pop3_server.h"
#include "message/classifier.h"
#include "message/mail_message.h"
#include "platform/file_io.h"
#include "pop3client/pop3_session.h"
#include "store/mailbox.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using test::FakeMessage;
using test::FakePop3Server;
using test::FakeStream;

// Mail whose subject says "spam" is spam, everything else is other.
class SubjectClassifier : public IClassifier {
 public:
  void Classify(CMailMessage& message) override {
    const bool spam = message.Subject().find("spam") != std::string::npos;
    message.mark.SetClassification(spam ? VerdictSpam : VerdictOther, spam ? 4u : 0u);
  }
};

FakeMessage Mail(const std::string& uid, const std::string& subject) {
  return {uid, "Subject: " + subject + "\r\nMessage-ID: <" + uid + "@x>\r\n\r\nbody of " + uid +
                   "\r\n.leading dot\r\n"};
}

class RetrievalTest : public ::testing::Test {
 protected:
  RetrievalTest() {
    SetReporter(&reporter);
    auto owned = std::make_unique<CPop3Session>(std::make_unique<FakeStream>(server));
    session = owned.get();
    mailbox = CMailbox::CreateMain(directory.File("box"), std::move(owned));
    EXPECT_EQ(mailbox->Load(), 1);
    mailbox->SetClassifier(&classifier);
    session->SetAccount("pop.example.org", 110, "u", "p");
    // Everything stays in the mailbox, visible; the server copies stay unless a test says so.
    mailbox->Config().options = 0;
  }
  ~RetrievalTest() override { SetReporter(nullptr); }

  // The commands of the last connection after logging in.
  std::string Commands() {
    const std::string login = "USER u\r\nPASS p\r\n";
    const std::size_t at = server->sent.rfind(login);
    return at == std::string::npos ? server->sent : server->sent.substr(at + login.size());
  }
  int Run() {
    server->sent.clear();
    return Retrieve(*mailbox);
  }
  std::vector<std::string> StoredUids() {
    std::vector<std::string> uids;
    for (int n = 1; n <= mailbox->MessageCount(); ++n) uids.push_back(mailbox->Mark(n).uidl);
    return uids;
  }

  ScratchDirectory directory;
  test::RecordingReporter reporter;
  SubjectClassifier classifier;
  std::shared_ptr<FakePop3Server> server = std::make_shared<FakePop3Server>();
  CPop3Session* session = nullptr;
  std::unique_ptr<CMailbox> mailbox;
};

TEST_F(RetrievalTest, EmptyServerAsksNoUidlAndEmptiesTheLists) {
  session->RegisterKnown("gone", "<gone@x>");
  session->RequestServerDeletion("gone");
  session->RegisterKnown("gone2", "");
  session->ForgetDeleted("gone2");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nQUIT\r\n");
  EXPECT_EQ(session->KnownUidls().Count() + session->DeletedHere().Count() +
                session->PendingDeletions().Count(),
            0u);
}

TEST_F(RetrievalTest, NewMailIsFetchedOnceAndStoredAsItTravelled) {
  server->messages = {Mail("a", "hello"), Mail("b", "spam offer")};
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nRETR 2\r\nQUIT\r\n");
  ASSERT_EQ(mailbox->MessageCount(), 2);
  std::string stored;
  ASSERT_TRUE(mailbox->ReadStoredBytes(1, stored));
  EXPECT_EQ(stored, server->Wire(0));
  EXPECT_EQ(StoredUids(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(mailbox->Mark(2).GetVerdict(), VerdictSpam);
  EXPECT_EQ(reporter.statusTexts.front(), "メール受信中 ( " + directory.File("box") + " )");
  EXPECT_NE(std::find(reporter.logLines.begin(), reporter.logLines.end(),
                      "MSV : Retrieving message from pop.example.org ( u ). ( 2 / 2 )"),
            reporter.logLines.end());

  // Known ids are not fetched again.
  server->messages.push_back(Mail("c", "third"));
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nLIST\r\nRETR 3\r\nQUIT\r\n");
  EXPECT_EQ(mailbox->MessageCount(), 3);
}

TEST_F(RetrievalTest, DeletedAtOnceWhenThePolicySaysSoEvenWhenTheQuitIsLost) {
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  server->messages = {Mail("a", "hello"), Mail("b", "world")};
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "QUIT") return "-ERR autologout; deletions not done\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(),
            "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
  EXPECT_EQ(StoredUids(), (std::vector<std::string>{"", ""}));
  ASSERT_EQ(server->messages.size(), 2u);

  // The server kept its copies: they are deleted, not stored a second time.
  server->replyOverride = nullptr;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(),
            "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nTOP 1 0\r\nDELE 1\r\nTOP 2 0\r\nDELE 2\r\nQUIT\r\n");
  EXPECT_TRUE(server->messages.empty());
  EXPECT_EQ(mailbox->MessageCount(), 2);
  // Remembered until a run no longer finds them.
  EXPECT_EQ(session->PendingDeletions().Count(), 2u);
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->PendingDeletions().Count(), 0u);
}

TEST_F(RetrievalTest, AnEmptyMessageStaysOneMessage) {
  server->messages = {Mail("a", "one"), FakeMessage{"e", ""}, Mail("b", "two")};
  server->chunk = 1;
  EXPECT_EQ(Run(), kRetrieveDone);
  auto reloaded = CMailbox::CreateMain(directory.File("box"));
  ASSERT_EQ(reloaded->Load(), 1);
  ASSERT_EQ(reloaded->MessageCount(), 3);
  std::string stored;
  ASSERT_TRUE(reloaded->ReadStoredBytes(2, stored));
  EXPECT_EQ(stored, "\r\n.\r\n");
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(reloaded->Mark(n).uidl, StoredUids()[n - 1]);
}

TEST_F(RetrievalTest, DeferredDeletionChecksTheMessageIdFirst) {
  mailbox->Config().SetServerDeletion(DeleteWhenPurged);
  server->messages = {Mail("a", "hello"), Mail("b", "world")};
  ASSERT_EQ(Run(), kRetrieveDone);
  ASSERT_EQ(mailbox->RemoveMessage(1, nullptr), 1);
  ASSERT_EQ(session->PendingDeletions().Count(), 1u);

  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nLIST\r\nTOP 1 0\r\nDELE 1\r\nQUIT\r\n");
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(mailbox->MessageCount(), 1);
  // Listed until a run finds the copy gone.
  EXPECT_EQ(session->PendingDeletions().Count(), 1u);
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->PendingDeletions().Count(), 0u);
}

TEST_F(RetrievalTest, ADifferentMessageIdFetchesTheMessageAgain) {
  mailbox->Config().SetServerDeletion(DeleteWhenPurged);
  server->messages = {Mail("a", "hello")};
  ASSERT_EQ(Run(), kRetrieveDone);
  ASSERT_EQ(mailbox->RemoveMessage(1, nullptr), 1);
  server->messages[0].text = "Subject: other\r\nMessage-ID: <new@x>\r\n\r\nnew\r\n";

  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nLIST\r\nTOP 1 0\r\nRETR 1\r\nQUIT\r\n");
  EXPECT_NE(std::find(reporter.logLines.begin(), reporter.logLines.end(),
                      "MSV : Fail to check message ID ( <a@x> )."),
            reporter.logLines.end());
  EXPECT_EQ(StoredUids(), std::vector<std::string>{"a"});
  EXPECT_EQ(session->KnownUidls().Count(), 1u);
}

TEST_F(RetrievalTest, DeletedHereEntriesLeaveWithTheirServerCopies) {
  server->messages = {Mail("a", "hello"), Mail("b", "world")};
  ASSERT_EQ(Run(), kRetrieveDone);
  ASSERT_EQ(mailbox->RemoveMessage(1, nullptr), 1);
  EXPECT_EQ(session->DeletedHere().Count(), 1u);
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nQUIT\r\n");
  server->messages.erase(server->messages.begin());
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->DeletedHere().Count(), 0u);
  EXPECT_EQ(session->KnownUidls().Count(), 1u);
}

TEST_F(RetrievalTest, AGapInTheUidListingIsAskedAboutAndAWrongAnswerEndsWithoutQuit) {
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  server->messages = {Mail("a", "one"), Mail("b", "two")};
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "UIDL") return "+OK\r\n1 a\r\nnot a line\r\n.\r\n";
    if (command == "UIDL 2") return "+OK 3 c\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nUIDL 2\r\n");
  EXPECT_FALSE(server->connected);
  EXPECT_EQ(mailbox->MessageCount(), 0);
  server->replyOverride = nullptr;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(mailbox->MessageCount(), 2);
  EXPECT_TRUE(server->messages.empty());
}

TEST_F(RetrievalTest, FailedStatIsAFailedRunAndReleasesTheSocket) {
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "STAT") return "-ERR maildrop locked\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), "STAT\r\n");
  EXPECT_FALSE(server->connected);
  EXPECT_EQ(session->GetState(), CPop3Session::kClosed);
}

TEST_F(RetrievalTest, CutDuringRetrKeepsWhatWasStoredAndResumes) {
  server->messages = {Mail("a", "one"), Mail("b", std::string(200000, 'x')), Mail("c", "three")};
  server->chunk = 4096;
  server->replyOverride = [this](const std::string& command) -> std::optional<std::string> {
    if (command == "RETR 2") server->cutAfter = server->delivered.size() + 1000;
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(StoredUids(), std::vector<std::string>{"a"});

  server->cutAfter.reset();
  server->replyOverride = nullptr;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(StoredUids(), (std::vector<std::string>{"a", "b", "c"}));
  std::string stored;
  ASSERT_TRUE(mailbox->ReadStoredBytes(2, stored));
  EXPECT_EQ(stored, server->Wire(1));
}

TEST_F(RetrievalTest, AMessageTheServerRefusesHoldsBackNoOther) {
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  server->messages = {Mail("a", "one"), Mail("b", "two"), Mail("c", "three")};
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "RETR 2") return "-ERR cannot read that message\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(),
            "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\nRETR 3\r\nDELE "
            "3\r\nQUIT\r\n");
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(mailbox->MessageCount(), 2);
  // The marks are saved before the server lets go of its copies.
  EXPECT_FALSE(mailbox->MarksDirty());

  server->replyOverride = nullptr;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT\r\nUIDL\r\nLIST\r\nRETR 1\r\nDELE 1\r\nQUIT\r\n");
  EXPECT_EQ(mailbox->MessageCount(), 3);
}

TEST_F(RetrievalTest, StoredMailIsSyncedOncePerRunBeforeTheQuitThatDeletes) {
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  int syncs = 0;
  bool refuse = false;
  SetFileFaultInjector([&](FileOperation op) {
    if (op != FileOperation::Sync) return false;
    ++syncs;
    return refuse;
  });
  std::vector<int> syncsPerRun;
  for (int count : {1, 6}) {
    for (int i = 0; i < count; ++i) {
      server->messages.push_back(Mail(std::to_string(count) + "." + std::to_string(i), "x"));
    }
    syncs = 0;
    EXPECT_EQ(Run(), kRetrieveDone);
    syncsPerRun.push_back(syncs);
  }
  EXPECT_EQ(syncsPerRun[0], syncsPerRun[1]);

  // Mail that may not be on disk is not given up by the server: no QUIT.
  server->messages = {Mail("a", "one"), Mail("b", "two")};
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    refuse = refuse || command == "RETR 2";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  server->replyOverride = nullptr;
  // Nor does the marks file take over from the journal.
  EXPECT_EQ(mailbox->SaveMarks(), 0);
  EXPECT_TRUE(std::filesystem::exists(directory.File("box") + ".jnl"));
  refuse = false;
  SetFileFaultInjector(nullptr);
  EXPECT_FALSE(Commands().ends_with("QUIT\r\n"));
  EXPECT_EQ(server->messages.size(), 2u);
  EXPECT_EQ(mailbox->MessageCount(), 9);
  EXPECT_TRUE(std::find(reporter.logLines.begin(), reporter.logLines.end(),
                        "MBX : File I/O Error.( " + directory.File("box") +
                            ".jnl  :  errno = 5 )") != reporter.logLines.end());
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(),
            "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nTOP 1 0\r\nDELE 1\r\nTOP 2 0\r\nDELE "
            "2\r\nQUIT\r\n");
  EXPECT_EQ(mailbox->MessageCount(), 9);
}

// The same run against the three kinds of server: the commands that go out, and whether the
// later ones went out before the answers to the earlier ones came in.
struct DialogueCase {
  const char* name;
  bool classic;
  bool pipelining;
  const char* first;   // three new messages, deleted at once; the QUIT is refused
  const char* second;  // the copies still there are checked and deleted
};

class DialogueTest : public RetrievalTest, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(DialogueTest, SendsWhatTheServerSupports) {
  const DialogueCase& param = GetParam();
  server->classic = param.classic;
  server->pipelining = param.pipelining;
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  server->messages = {Mail("a", "one"), Mail("b", "spam two"), Mail("c", "three")};
  std::vector<std::size_t> answeredBefore;
  bool refuseQuit = true;
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    if (command.starts_with("RETR") || command.starts_with("TOP")) {
      answeredBefore.push_back(server->delivered.size());
    }
    if (command == "QUIT" && refuseQuit) return "-ERR not now\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), param.first);
  EXPECT_EQ(mailbox->MessageCount(), 3);
  EXPECT_EQ(mailbox->Mark(2).GetVerdict(), VerdictSpam);
  ASSERT_EQ(answeredBefore.size(), 3u);
  // Pipelined, the third RETR reached the server before any answer to the first had been read.
  EXPECT_EQ(answeredBefore[2] == answeredBefore[0], param.pipelining);

  answeredBefore.clear();
  refuseQuit = false;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), param.second);
  EXPECT_TRUE(server->messages.empty());
  EXPECT_EQ(mailbox->MessageCount(), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, DialogueTest,
    ::testing::Values(
        DialogueCase{"Classic", true, false,
                     "STAT\r\nUIDL\r\nUIDL 1\r\nUIDL 2\r\nUIDL 3\r\nLIST\r\nLIST 1\r\nRETR "
                     "1\r\nDELE 1\r\nLIST 2\r\nRETR 2\r\nDELE 2\r\nLIST 3\r\nRETR 3\r\nDELE "
                     "3\r\nQUIT\r\n",
                     "STAT\r\nUIDL\r\nUIDL 1\r\nUIDL 2\r\nUIDL 3\r\nLIST\r\nTOP 1 0\r\nDELE "
                     "1\r\nTOP 2 0\r\nDELE 2\r\nTOP 3 0\r\nDELE 3\r\nQUIT\r\n"},
        DialogueCase{"Listings", false, false,
                     "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nDELE 1\r\nRETR 2\r\nDELE "
                     "2\r\nRETR 3\r\nDELE 3\r\nQUIT\r\n",
                     "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nTOP 1 0\r\nDELE 1\r\nTOP 2 0\r\nDELE "
                     "2\r\nTOP 3 0\r\nDELE 3\r\nQUIT\r\n"},
        DialogueCase{"Pipelining", false, true,
                     "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nRETR 2\r\nRETR 3\r\nDELE "
                     "1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n",
                     "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nTOP 1 0\r\nTOP 2 0\r\nTOP 3 0\r\nDELE "
                     "1\r\nDELE 2\r\nDELE 3\r\nQUIT\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

// What goes wrong inside a window of pipelined commands ends the run as it does one command at a
// time, and the next run completes it.
struct WindowFaultCase {
  const char* name;
  std::size_t chunk;         // 1: every answer arrives late, a byte at a time
  const char* refuse;        // a command answered -ERR
  bool cutInSecond;          // the connection ends inside the second message
  bool failSecondStore;      // the disk refuses the second message
  int stored;                // messages stored by the first run
  std::size_t leftOnServer;  // after the first run
};

class WindowFaultTest : public RetrievalTest,
                        public ::testing::WithParamInterface<WindowFaultCase> {};

TEST_P(WindowFaultTest, EndsTheRunAsWithoutPipelining) {
  const WindowFaultCase& param = GetParam();
  server->pipelining = true;
  server->chunk = param.chunk;
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  server->messages = {Mail("a", "one"), Mail("b", std::string(5000, 'x')), Mail("c", "three")};
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    if (param.refuse != nullptr && command == param.refuse) return "-ERR cannot\r\n";
    if (param.cutInSecond && command == "RETR 2") {
      server->cutAfter = server->delivered.size() + server->Undelivered() + 1000;
    }
    return std::nullopt;
  };
  // Each store writes its mark, then its message.
  int writes = 0;
  if (param.failSecondStore) {
    SetFileFaultInjector(
        [&](FileOperation op) { return op == FileOperation::Write && ++writes == 3; });
  }
  const int result = Run();
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(result == kRetrieveDone, param.chunk == 1);
  EXPECT_EQ(mailbox->MessageCount(), param.stored);
  EXPECT_EQ(server->messages.size(), param.leftOnServer);
  // The answers still owed were read before QUIT, which was answered as QUIT.
  EXPECT_EQ(server->delivered.ends_with("+OK bye\r\n"), !param.cutInSecond);

  server->replyOverride = nullptr;
  server->cutAfter.reset();
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(mailbox->MessageCount(), 3);
  EXPECT_TRUE(server->messages.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WindowFaultTest,
    ::testing::Values(WindowFaultCase{"AnswersLate", 1, nullptr, false, false, 3, 0},
                      WindowFaultCase{"RefusesOneMessage", 4096, "RETR 2", false, false, 2, 1},
                      WindowFaultCase{"CutInTheWindow", 4096, nullptr, true, false, 1, 3},
                      WindowFaultCase{"DiskRefusesOneMessage", 4096, nullptr, false, true, 1, 2}),
    [](const auto& param) { return std::string(param.param.name); });

// How the server tells the size of a message over the limit, and how it hands out its bytes.
struct OversizeCase {
  const char* name;
  std::optional<std::string> listReply;  // none: the true size
  std::size_t chunk;
  bool listing = false;  // sizes from LIST without argument, not LIST n
};

class OversizeTest : public RetrievalTest, public ::testing::WithParamInterface<OversizeCase> {};

TEST_P(OversizeTest, IsLeftOnTheServerInNoListAndNeverFetchedAgain) {
  const OversizeCase& param = GetParam();
  session->SetMessageLimit(1000);
  mailbox->Config().SetServerDeletion(DeleteWhenRetrieved);
  std::string body;
  for (int i = 0; i < 30; ++i) body += (i % 7 ? "x" : ".") + std::string(98, 'x') + "\r\n";
  server->messages = {Mail("a", "one"), {"big", "Subject: big\r\n\r\n" + body}, Mail("c", "three")};
  server->chunk = param.chunk;
  server->classic = !param.listing;
  server->replyOverride = [&param](const std::string& command) -> std::optional<std::string> {
    if (command == "LIST 2" && param.listReply) return *param.listReply;
    return std::nullopt;
  };
  const bool told = !param.listReply;
  const std::size_t size = told ? server->messages[1].text.size() : server->Wire(1).size();

  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(),
            param.listing
                ? "STAT\r\nUIDL\r\nLIST\r\nCAPA\r\nRETR 1\r\nDELE 1\r\nRETR 3\r\nDELE "
                  "3\r\nQUIT\r\n"
                : std::string("STAT\r\nUIDL\r\nUIDL 1\r\nUIDL 2\r\nUIDL 3\r\nLIST\r\nLIST "
                              "1\r\nRETR 1\r\nDELE 1\r\nLIST 2\r\n") +
                      (told ? "" : "RETR 2\r\n") + "LIST 3\r\nRETR 3\r\nDELE 3\r\nQUIT\r\n");
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(mailbox->MessageCount(), 2);
  std::string ignored;
  EXPECT_FALSE(session->IsKnown("big") || session->IsDeletedHere("big") ||
               session->FindPendingDeletion("big", ignored));
  const std::string line = "MSV : Message 2 ( big ) on pop.example.org has " +
                           std::to_string(size) +
                           " bytes, more than the limit of 1000; it stays on the server.";
  EXPECT_EQ(std::count(reporter.logLines.begin(), reporter.logLines.end(), line), 1);

  // The server's own word is asked again; what only reading told is remembered.
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), param.listing ? "STAT\r\nUIDL\r\nLIST\r\nQUIT\r\n"
                        : told        ? "STAT\r\nUIDL\r\nUIDL 1\r\nLIST\r\nLIST 1\r\nQUIT\r\n"
                                      : "STAT\r\nUIDL\r\nUIDL 1\r\nLIST\r\nQUIT\r\n");
  EXPECT_EQ(mailbox->MessageCount(), 2);
  EXPECT_EQ(server->messages.size(), 1u);
}

TEST_F(RetrievalTest, SizesListedInOneSessionAreNotTakenForTheNext) {
  session->SetMessageLimit(1000);
  server->messages = {Mail("a", "one"), {"big", "Subject: big\r\n\r\n" + std::string(2000, 'x')}};
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(mailbox->MessageCount(), 1);
  // Message 2 is small now, on a server that lists no sizes.
  server->classic = true;
  server->messages[1] = Mail("small", "two");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(StoredUids(), (std::vector<std::string>{"a", "small"}));
}

TEST_F(RetrievalTest, ABodyThatRunsFarPastTheLimitIsCutOff) {
  session->SetMessageLimit(100);
  std::string body;
  for (int i = 0; i < 100; ++i) body += std::string(98, 'x') + "\r\n";
  server->messages = {Mail("a", "one"), {"endless", "Subject: x\r\n\r\n" + body}};
  server->chunk = 512;
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command.rfind("LIST", 0) == 0) return "-ERR\r\n";
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_FALSE(server->connected);
  EXPECT_EQ(StoredUids(), std::vector<std::string>{"a"});
  EXPECT_TRUE(std::any_of(reporter.logLines.begin(), reporter.logLines.end(), [](const auto& line) {
    return line.find("did not end within") != std::string::npos;
  }));
}

INSTANTIATE_TEST_SUITE_P(SizeTold, OversizeTest,
                         ::testing::Values(OversizeCase{"ByListing", std::nullopt, 3, true},
                                           OversizeCase{"ByList", std::nullopt, 65535},
                                           OversizeCase{"NotByList", "-ERR no LIST here\r\n", 1},
                                           OversizeCase{"WrongByList", "+OK 2 100\r\n", 4096},
                                           OversizeCase{"ForAnotherMessage", "+OK 3 999999\r\n",
                                                        7}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(RetrievalTest, AMessageAtTheLimitIsFetchedWhole) {
  session->SetMessageLimit(1000);
  std::string text = "Subject: fits\r\n\r\n";
  for (int i = 0; i < 5; ++i) text += ".dotted line\r\n" + std::string(150, 'x') + "\r\n";
  text += std::string(1000 - 2 - text.size(), 'x') + "\r\n";
  ASSERT_EQ(text.size(), 1000u);
  server->messages = {{"fits", text}};
  EXPECT_EQ(Run(), kRetrieveDone);
  std::string stored;
  ASSERT_TRUE(mailbox->ReadStoredBytes(1, stored));
  EXPECT_EQ(stored, server->Wire(0));
}

TEST_F(RetrievalTest, BusyMailboxIsNotContacted) {
  server->messages = {Mail("a", "one")};
  ASSERT_TRUE(mailbox->retrievalLock.TryAcquire());
  EXPECT_EQ(Run(), kRetrieveBusy);
  EXPECT_EQ(server->connections, 0);
  mailbox->retrievalLock.Release();
}

TEST_F(RetrievalTest, NoServerNothingToDo) {
  session->SetAccount("", 110, "", "");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(server->connections, 0);
  EXPECT_TRUE(reporter.statusTexts.empty());
}

TEST_F(RetrievalTest, HostileRepliesNeverCorruptTheMailbox) {
  server->messages = {Mail("a", "one"), Mail("b", "two")};
  server->chunk = 1;
  server->replyOverride = [](const std::string& command) -> std::optional<std::string> {
    if (command == "RETR 2") return std::string("garbage\0line\r\n+OK\r\n", 20);
    return std::nullopt;
  };
  Run();
  ASSERT_GE(mailbox->MessageCount(), 1);
  std::string stored;
  ASSERT_TRUE(mailbox->ReadStoredBytes(1, stored));
  EXPECT_EQ(stored, server->Wire(0));
  server->replyOverride = nullptr;
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(StoredUids(), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace qm
