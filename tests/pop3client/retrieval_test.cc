// Retrieval runs against the in-memory server: which commands go out, what is stored, and what the
// unique-id lists remember afterwards.
#include "pop3client/retrieval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "message/classifier.h"
#include "message/mail_message.h"
#include "platform/file_io.h"
#include "pop3client/pop3_session.h"
#include "store/mailbox.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

using test::FakeMessage;
using Uids = std::vector<std::string>;

// Mail whose subject says "spam" is spam, everything else is other.
class SubjectClassifier : public IClassifier {
 public:
  void Classify(CMailMessage& message) override {
    const bool spam = message.Subject().find("spam") != std::string::npos;
    message.mark.SetClassification(spam ? VerdictSpam : VerdictOther, spam ? 4u : 0u);
  }
};

FakeMessage Mail(const std::string& uid, const std::string& subject = "x") {
  return {uid, "Subject: " + subject + "\r\nMessage-ID: <" + uid + "@x>\r\n\r\nbody of " + uid +
                   "\r\n.leading dot\r\n"};
}

class RetrievalTest : public ::testing::Test {
 protected:
  RetrievalTest() {
    SetReporter(&reporter);
    auto owned = std::make_unique<CPop3Session>(std::make_unique<test::FakeStream>(server));
    session = owned.get();
    mailbox = CMailbox::CreateMain(directory.File("box"), std::move(owned));
    EXPECT_EQ(mailbox->Load(), 1);
    mailbox->SetClassifier(&classifier);
    session->SetAccount("h", 110, "u", "p");
    // Everything stays in the mailbox, visible; the server copies stay unless a test says so.
    mailbox->Config().options = 0;
  }
  ~RetrievalTest() override { SetReporter(nullptr); }

  // The commands of the last connection after logging in, each CR LF written as "|" (a lone CR
  // or LF stays itself and shows).
  std::string Commands() {
    const std::size_t at = server->sent.rfind("USER u\r\nPASS p\r\n");
    std::string sent = at == std::string::npos ? server->sent : server->sent.substr(at + 16);
    for (std::size_t crlf; (crlf = sent.find("\r\n")) != std::string::npos;)
      sent.replace(crlf, 2, "|");
    return sent;
  }
  int Run() {
    server->sent.clear();
    return Retrieve(*mailbox);
  }
  Uids StoredUids() {
    Uids uids;
    for (int n = 1; n <= mailbox->MessageCount(); ++n) uids.push_back(mailbox->Mark(n).uidl);
    return uids;
  }
  std::string Stored(int n) {
    std::string bytes;
    EXPECT_TRUE(mailbox->ReadStoredBytes(n, bytes));
    return bytes;
  }
  bool Logged(const std::string& line) {
    return std::find(reporter.logLines.begin(), reporter.logLines.end(), line) !=
           reporter.logLines.end();
  }
  void DeleteWhen(ServerDeletion when) { mailbox->Config().SetServerDeletion(when); }

  ScratchDirectory directory;
  test::RecordingReporter reporter;
  SubjectClassifier classifier;
  std::shared_ptr<test::FakePop3Server> server = std::make_shared<test::FakePop3Server>();
  CPop3Session* session = nullptr;
  std::unique_ptr<CMailbox> mailbox;
};

TEST_F(RetrievalTest, NewMailIsFetchedOnceAndStoredAsItTravelled) {
  session->RegisterKnown("gone", "<gone@x>");
  session->RequestServerDeletion("gone");
  session->RegisterKnown("gone2", "");
  session->ForgetDeleted("gone2");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|QUIT|");  // an empty server is asked no UIDL
  EXPECT_EQ(session->KnownUidls().Count() + session->DeletedHere().Count() +
                session->PendingDeletions().Count(),
            0u);

  server->messages = {Mail("a", "hello"), Mail("b", "spam offer")};
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|UIDL|LIST|CAPA|RETR 1|RETR 2|QUIT|");
  EXPECT_EQ(Stored(1), server->Wire(0));
  EXPECT_EQ(StoredUids(), (Uids{"a", "b"}));
  EXPECT_EQ(mailbox->Mark(2).GetVerdict(), VerdictSpam);
  EXPECT_EQ(reporter.statusTexts.front(), "メール受信中 ( " + directory.File("box") + " )");
  EXPECT_TRUE(Logged("MSV : Retrieving message from h ( u ). ( 2 / 2 )"));
  // Known ids are not fetched again.
  server->messages.push_back(Mail("c"));
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|UIDL|LIST|RETR 3|QUIT|");
  EXPECT_EQ(mailbox->MessageCount(), 3);
}

TEST_F(RetrievalTest, AnEmptyMessageStaysOneMessage) {
  server->messages = {Mail("a"), FakeMessage{"e", ""}, Mail("b")};
  server->chunk = 1;
  EXPECT_EQ(Run(), kRetrieveDone);
  auto reloaded = CMailbox::CreateMain(directory.File("box"));
  ASSERT_EQ(reloaded->Load(), 1);
  ASSERT_EQ(reloaded->MessageCount(), 3);
  EXPECT_EQ(Stored(2), "\r\n.\r\n");
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(reloaded->Mark(n).uidl, StoredUids()[n - 1]);
}

// A copy deleted here is deleted on the server after TOP shows the same Message-ID; a different
// one is fetched again. Either stays listed until a run finds it gone.
TEST_F(RetrievalTest, DeferredDeletionChecksTheMessageIdFirst) {
  DeleteWhen(DeleteWhenPurged);
  server->messages = {Mail("a"), Mail("b"), Mail("c")};
  ASSERT_EQ(Run(), kRetrieveDone);
  ASSERT_EQ(mailbox->RemoveMessage(2, nullptr), 1);
  ASSERT_EQ(mailbox->RemoveMessage(1, nullptr), 1);
  ASSERT_EQ(session->PendingDeletions().Count(), 2u);
  server->messages[1].text = "Subject: other\r\nMessage-ID: <new@x>\r\n\r\nnew\r\n";
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|UIDL|LIST|CAPA|TOP 1 0|DELE 1|TOP 2 0|RETR 2|QUIT|");
  EXPECT_TRUE(Logged("MSV : Fail to check message ID ( <b@x> )."));
  EXPECT_EQ(server->messages.size(), 2u);
  EXPECT_EQ(StoredUids(), (Uids{"c", "b"}));
  EXPECT_EQ(session->PendingDeletions().Count(), 1u);
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->PendingDeletions().Count(), 0u);
  EXPECT_EQ(session->KnownUidls().Count(), 2u);
}

TEST_F(RetrievalTest, DeletedHereEntriesLeaveWithTheirServerCopies) {
  server->messages = {Mail("a"), Mail("b")};
  ASSERT_EQ(Run(), kRetrieveDone);
  ASSERT_EQ(mailbox->RemoveMessage(1, nullptr), 1);
  EXPECT_EQ(session->DeletedHere().Count(), 1u);
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|UIDL|QUIT|");
  server->messages.erase(server->messages.begin());
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->DeletedHere().Count(), 0u);
  EXPECT_EQ(session->KnownUidls().Count(), 1u);
}

// A gap in the listing is asked about; a wrong answer, a refused STAT or garbage for a RETR ends
// the run without QUIT, keeps what was stored intact, and the next run completes it.
TEST_F(RetrievalTest, HostileRepliesEndTheRunAndCorruptNothing) {
  DeleteWhen(DeleteWhenRetrieved);
  server->messages = {Mail("a"), Mail("b")};
  server->replies = {{"UIDL", "+OK\r\n1 a\r\nnot a line\r\n.\r\n"}, {"UIDL 2", "+OK 3 c\r\n"}};
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), "STAT|UIDL|UIDL 2|");
  server->replies = {{"STAT", "-ERR maildrop locked\r\n"}};
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), "STAT|");
  EXPECT_FALSE(server->connected);
  EXPECT_EQ(session->GetState(), CPop3Session::kClosed);
  EXPECT_EQ(mailbox->MessageCount(), 0);
  server->chunk = 1;
  server->replies = {{"RETR 2", std::string("garbage\0line\r\n+OK\r\n", 20)}};
  const std::string wireA = server->Wire(0);
  EXPECT_EQ(Run(), kRetrieveFailed);
  ASSERT_EQ(mailbox->MessageCount(), 1);
  EXPECT_EQ(Stored(1), wireA);
  server->replies.clear();
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(StoredUids(), (Uids{"", ""}));
  EXPECT_TRUE(server->messages.empty());
}

TEST_F(RetrievalTest, StoredMailIsSyncedOncePerRunBeforeTheQuitThatDeletes) {
  DeleteWhen(DeleteWhenRetrieved);
  int syncs = 0;
  bool refuse = false;
  SetFileFaultInjector([&](FileOperation op) {
    if (op != FileOperation::Sync) return false;
    ++syncs;
    return refuse;
  });
  std::vector<int> syncsPerRun;
  for (int count : {1, 6}) {
    for (int i = 0; i < count; ++i)
      server->messages.push_back(Mail(std::to_string(count * 10 + i)));
    syncs = 0;
    EXPECT_EQ(Run(), kRetrieveDone);
    syncsPerRun.push_back(syncs);
  }
  EXPECT_EQ(syncsPerRun[0], syncsPerRun[1]);

  // Mail that may not be on disk is not given up by the server: no QUIT.
  server->messages = {Mail("a"), Mail("b")};
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
  EXPECT_FALSE(Commands().ends_with("QUIT|"));
  EXPECT_EQ(server->messages.size(), 2u);
  EXPECT_EQ(mailbox->MessageCount(), 9);
  EXPECT_TRUE(Logged("MBX : File I/O Error.( " + directory.File("box") + ".jnl  :  errno = 5 )"));
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), "STAT|UIDL|LIST|CAPA|TOP 1 0|DELE 1|TOP 2 0|DELE 2|QUIT|");
  EXPECT_EQ(mailbox->MessageCount(), 9);
}

// The same run against the three kinds of server: the commands that go out, and whether the
// later ones went out before the answers to the earlier ones came in. Messages are deleted at once;
// the first run's QUIT is refused, so the second finds the copies, checks and deletes them, and
// stores nothing twice.
struct DialogueCase {
  bool classic, pipelining;
  const char* first;
  const char* second;
};
void PrintTo(const DialogueCase& c, std::ostream* os) {
  *os << (c.classic ? "classic" : c.pipelining ? "pipelining" : "listings");
}

class DialogueTest : public RetrievalTest, public ::testing::WithParamInterface<DialogueCase> {};

TEST_P(DialogueTest, SendsWhatTheServerSupports) {
  const DialogueCase& param = GetParam();
  server->classic = param.classic;
  server->pipelining = param.pipelining;
  DeleteWhen(DeleteWhenRetrieved);
  server->messages = {Mail("a"), Mail("b", "spam two"), Mail("c")};
  std::vector<std::size_t> answeredBefore;
  server->replies = {{"QUIT", "-ERR not now\r\n"}};
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    if (command.starts_with("RETR") || command.starts_with("TOP")) {
      answeredBefore.push_back(server->delivered.size());
    }
    return std::nullopt;
  };
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_EQ(Commands(), param.first);
  EXPECT_EQ(StoredUids(), (Uids{"", "", ""}));
  EXPECT_EQ(mailbox->Mark(2).GetVerdict(), VerdictSpam);
  ASSERT_EQ(answeredBefore.size(), 3u);
  // Pipelined, the third RETR reached the server before any answer to the first had been read.
  EXPECT_EQ(answeredBefore[2] == answeredBefore[0], param.pipelining);

  answeredBefore.clear();
  server->replies.clear();
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), param.second);
  EXPECT_TRUE(server->messages.empty());
  EXPECT_EQ(mailbox->MessageCount(), 3);
  EXPECT_EQ(session->PendingDeletions().Count(),
            3u);  // remembered until a run no longer finds them
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(session->PendingDeletions().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, DialogueTest,
    ::testing::Values(
        DialogueCase{true, false,
                     "STAT|UIDL|UIDL 1|UIDL 2|UIDL 3|LIST|LIST 1|RETR 1|DELE 1|LIST 2|RETR 2|DELE "
                     "2|LIST 3|RETR 3|DELE 3|QUIT|",
                     "STAT|UIDL|UIDL 1|UIDL 2|UIDL 3|LIST|TOP 1 0|DELE 1|TOP 2 0|DELE 2|TOP 3 "
                     "0|DELE 3|QUIT|"},
        DialogueCase{false, false,
                     "STAT|UIDL|LIST|CAPA|RETR 1|DELE 1|RETR 2|DELE 2|RETR 3|DELE 3|QUIT|",
                     "STAT|UIDL|LIST|CAPA|TOP 1 0|DELE 1|TOP 2 0|DELE 2|TOP 3 0|DELE 3|QUIT|"},
        DialogueCase{false, true,
                     "STAT|UIDL|LIST|CAPA|RETR 1|RETR 2|RETR 3|DELE 1|DELE 2|DELE 3|QUIT|",
                     "STAT|UIDL|LIST|CAPA|TOP 1 0|TOP 2 0|TOP 3 0|DELE 1|DELE 2|DELE 3|QUIT|"}));

// What goes wrong in the middle of a run, one command at a time or inside a window of pipelined
// commands, ends the run keeping what was stored (and its marks saved), and the next run completes
// it; an answer that comes late, a byte at a time, breaks nothing.
struct FaultCase {
  bool pipelining;
  std::size_t chunk;
  const char* refuse;    // a command answered -ERR
  bool cutInSecond;      // the connection ends inside the second message
  bool failSecondStore;  // the disk refuses the second message
  int stored;            // messages stored by the first run
  std::size_t leftOnServer;
};
void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << (c.pipelining ? "pipelined" : "serial") << c.chunk << (c.refuse ? "refused" : "")
      << (c.cutInSecond ? "cut" : "") << (c.failSecondStore ? "diskfull" : "");
}

class FaultTest : public RetrievalTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, EndsTheRunAndTheNextCompletesIt) {
  const FaultCase& param = GetParam();
  server->pipelining = param.pipelining;
  server->chunk = param.chunk;
  DeleteWhen(DeleteWhenRetrieved);
  server->messages = {Mail("a"), Mail("b", std::string(50000, 'x')), Mail("c")};
  const std::string wireB = server->Wire(1);
  if (param.refuse) server->replies[param.refuse] = "-ERR cannot\r\n";
  server->replyOverride = [&](const std::string& command) -> std::optional<std::string> {
    if (param.cutInSecond && command == "RETR 2") {
      server->cutAfter = server->delivered.size() + server->Undelivered() + 1000;
    }
    return std::nullopt;
  };
  int writes = 0;  // each store writes its mark, then its message
  if (param.failSecondStore) {
    SetFileFaultInjector(
        [&](FileOperation op) { return op == FileOperation::Write && ++writes == 3; });
  }
  const int result = Run();
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(result == kRetrieveDone, param.chunk == 1);
  EXPECT_EQ(mailbox->MessageCount(), param.stored);
  EXPECT_EQ(server->messages.size(), param.leftOnServer);
  EXPECT_FALSE(mailbox->MarksDirty());
  // The answers still owed were read before QUIT, which was answered as QUIT.
  EXPECT_EQ(server->delivered.ends_with("+OK bye\r\n"), !param.cutInSecond);

  server->replies.clear();
  server->replyOverride = nullptr;
  server->cutAfter.reset();
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(mailbox->MessageCount(), 3);
  EXPECT_TRUE(server->messages.empty());
  for (int n = 1; n <= 3; ++n) {
    EXPECT_TRUE(mailbox->Summary(n).subject == "x" || Stored(n) == wireB) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultTest,
                         ::testing::Values(FaultCase{true, 1, nullptr, false, false, 3, 0},
                                           FaultCase{false, 4096, "RETR 2", false, false, 2, 1},
                                           FaultCase{true, 4096, "RETR 2", false, false, 2, 1},
                                           FaultCase{false, 4096, nullptr, true, false, 1, 3},
                                           FaultCase{true, 4096, nullptr, true, false, 1, 3},
                                           FaultCase{true, 4096, nullptr, false, true, 1, 2}));

// How the server tells the size of a message over the limit, and how it hands out its bytes.
struct OversizeCase {
  std::optional<std::string> listReply;  // none: the true size
  std::size_t chunk;
  bool listing = false;  // sizes from LIST without argument, not LIST n
};
void PrintTo(const OversizeCase& c, std::ostream* os) {
  *os << (c.listing ? "listing" : "list") << c.chunk << (c.listReply ? "told" : "");
}

class OversizeTest : public RetrievalTest, public ::testing::WithParamInterface<OversizeCase> {};

TEST_P(OversizeTest, IsLeftOnTheServerInNoListAndNeverFetchedAgain) {
  const OversizeCase& param = GetParam();
  session->SetMessageLimit(1000);
  DeleteWhen(DeleteWhenRetrieved);
  std::string body;
  for (int i = 0; i < 30; ++i) body += (i % 7 ? "x" : ".") + std::string(98, 'x') + "\r\n";
  server->messages = {Mail("a"), {"big", "Subject: big\r\n\r\n" + body}, Mail("c")};
  server->chunk = param.chunk;
  server->classic = !param.listing;
  if (param.listReply) server->replies["LIST 2"] = *param.listReply;
  const bool told = !param.listReply;
  const std::size_t size = told ? server->messages[1].text.size() : server->Wire(1).size();

  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(),
            param.listing
                ? "STAT|UIDL|LIST|CAPA|RETR 1|DELE 1|RETR 3|DELE 3|QUIT|"
                : std::string("STAT|UIDL|UIDL 1|UIDL 2|UIDL 3|LIST|LIST 1|RETR 1|DELE 1|LIST 2|") +
                      (told ? "" : "RETR 2|") + "LIST 3|RETR 3|DELE 3|QUIT|");
  ASSERT_EQ(server->messages.size(), 1u);
  EXPECT_EQ(mailbox->MessageCount(), 2);
  std::string ignored;
  EXPECT_FALSE(session->IsKnown("big") || session->IsDeletedHere("big") ||
               session->FindPendingDeletion("big", ignored));
  const std::string line = "MSV : Message 2 ( big ) on h has " + std::to_string(size) +
                           " bytes, more than the limit of 1000; it stays on the server.";
  EXPECT_EQ(std::count(reporter.logLines.begin(), reporter.logLines.end(), line), 1);

  // The server's own word is asked again; what only reading told is remembered.
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Commands(), param.listing ? "STAT|UIDL|LIST|QUIT|"
                        : told        ? "STAT|UIDL|UIDL 1|LIST|LIST 1|QUIT|"
                                      : "STAT|UIDL|UIDL 1|LIST|QUIT|");
  EXPECT_EQ(mailbox->MessageCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(SizeTold, OversizeTest,
                         ::testing::Values(OversizeCase{std::nullopt, 3, true},
                                           OversizeCase{std::nullopt, 65535},
                                           OversizeCase{"-ERR no LIST here\r\n", 1},
                                           OversizeCase{"+OK 2 100\r\n", 4096},
                                           OversizeCase{"+OK 3 999999\r\n", 7}));

// A message of exactly the limit is fetched whole; sizes listed in one session are not taken for
// the next; a body that runs far past the limit while no size was told is cut off.
TEST_F(RetrievalTest, TheLimitIsExactAndBoundsWhatIsRead) {
  session->SetMessageLimit(1000);
  std::string text = "Subject: fits\r\n\r\n";
  for (int i = 0; i < 5; ++i) text += ".dotted line\r\n" + std::string(150, 'x') + "\r\n";
  text += std::string(1000 - 2 - text.size(), 'x') + "\r\n";
  server->messages = {{"fits", text}, {"big", "Subject: big\r\n\r\n" + std::string(2000, 'x')}};
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(Stored(1), server->Wire(0));
  EXPECT_EQ(mailbox->MessageCount(), 1);
  server->classic = true;  // message 2 is small now, on a server that lists no sizes
  server->messages[1] = Mail("small");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(StoredUids(), (Uids{"fits", "small"}));

  session->SetMessageLimit(100);
  server->messages.push_back({"endless", "Subject: x\r\n\r\n" + std::string(10000, 'x') + "\r\n"});
  server->chunk = 512;
  server->replies = {{"LIST 3", "-ERR\r\n"}};
  EXPECT_EQ(Run(), kRetrieveFailed);
  EXPECT_FALSE(server->connected);
  EXPECT_EQ(mailbox->MessageCount(), 2);
  EXPECT_TRUE(std::any_of(reporter.logLines.begin(), reporter.logLines.end(), [](const auto& line) {
    return line.find("did not end within") != std::string::npos;
  }));
}

TEST_F(RetrievalTest, BusyMailboxOrNoServerIsNotContacted) {
  server->messages = {Mail("a")};
  ASSERT_TRUE(mailbox->retrievalLock.TryAcquire());
  EXPECT_EQ(Run(), kRetrieveBusy);
  mailbox->retrievalLock.Release();
  session->SetAccount("", 110, "", "");
  EXPECT_EQ(Run(), kRetrieveDone);
  EXPECT_EQ(server->connections, 0);
  EXPECT_TRUE(reporter.statusTexts.empty());
}

}  // namespace
}  // namespace qm
