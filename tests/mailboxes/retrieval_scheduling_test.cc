// Retrieval requests and timers: order, messages, status texts and the busy rules. The mailboxes
// point at loopback ports where nothing listens, so every run fails at once after its first log
// line, which tells the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "mailbox_set_fixture.h"
#include "platform/locks.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

// Keeps what the set asks of its host as one line of events; posting an end fails `failures`
// times first, as it may when memory runs out.
class RecordingHost : public IRetrievalHost {
 public:
  void SetTimer(std::uint32_t id, std::uint32_t ms) override {
    Add("+" + std::to_string(id) + ":" + std::to_string(ms));
  }
  void KillTimer(std::uint32_t id) override { Add("-" + std::to_string(id)); }
  void RetrievalEnded(int trigger, int index) override {
    if (failures-- > 0) throw std::bad_alloc();
    Add("end" + std::to_string(trigger) + "," + std::to_string(index));
  }
  void Add(const std::string& event) {
    std::lock_guard lock(mutex);
    events += event + " ";
  }
  std::string Take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }
  std::atomic<int> failures{0};
  std::mutex mutex;
  std::string events;
};

class SchedulingTest : public test::MailboxSetTest {
 protected:
  void SetUp() override {
    MailboxSetTest::SetUp();
    set = Set({"one", "two", "three"});
    set->SetRetrievalHost(&host);
    for (int i = 0; i < 3; ++i) {
      CTcpListener closed;  // nothing listens on its port once it is gone
      ASSERT_EQ(closed.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
      Session(i).SetAccount("127.0.0.1", closed.Port(), set->Get(i)->Name(), "pw");
    }
  }
  void TearDown() override { set.reset(), MailboxSetTest::TearDown(); }
  CPop3Session& Session(int i) { return dynamic_cast<CPop3Session&>(set->Get(i)->Client()); }
  // Waits until a request thread has posted its end, then stops the request threads.
  std::string WaitForEnd() {
    std::string events;
    for (int i = 0; i < 500 && (events += host.Take()).find("end") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    set->StopRetrievals();
    return events;
  }
  // The users of the connections tried, the messages shown and the last status text's start.
  std::string Reported() {
    std::string all;
    for (const std::string& line : std::exchange(reporter.logLines, {}))
      if (line.rfind("MSV : Connect to", 0) == 0) all += line.substr(line.find('(')) + " ";
    for (const std::string& message : std::exchange(reporter.messages, {})) all += message + " ";
    const auto texts = std::exchange(reporter.statusTexts, {});
    return all + (texts.empty() ? "" : texts.back().substr(0, texts.back().find(" (")));
  }
  RecordingHost host;
  std::unique_ptr<CMailboxSet> set;
};

// All mailboxes run last to first; only the user's own request for one mailbox shows a failure,
// and one busy is skipped among all, and ends silently unless the user asked.
TEST_F(SchedulingTest, RequestsRunInOrderAndOnlyTheUsersOwnReportsAFailureOrABusyMailbox) {
  EXPECT_EQ(set->RunRequest(kTriggerCommand, -1) + set->RunRequest(kTriggerTimer, 1), -2);
  EXPECT_EQ(Reported(), "( three ) ( two ) ( one ) ( two ) 受信エラー発生");
  EXPECT_EQ(set->RunRequest(kTriggerCommand, 1), -1);
  EXPECT_EQ(Reported(), "( two ) 通信中にエラーが発生しました。 受信エラー発生");
  Session(0).SetAccount("", 110, "", "");  // a mailbox without a server succeeds quietly
  EXPECT_EQ(set->RunRequest(kTriggerCommand, 0), 0);
  EXPECT_EQ(Reported(), "通信正常終了");
  EXPECT_EQ(host.Take(), "end3,-1 end1,1 end3,1 end3,0 ");
  COneSlotGuard busy(set->Get(1)->retrievalLock);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 1) + set->RunRequest(kTriggerCommand, 1), -4);
  EXPECT_EQ(Reported() + host.Take(), "現在メール受信中 ");
  EXPECT_EQ(set->RunRequest(kTriggerTray, -1), -1);
  EXPECT_EQ(Reported(), "( three ) 受信エラー発生");  // one has no server now
}

TEST_F(SchedulingTest, TimersFollowTheIntervalsAndStartRequestThreads) {
  set->Get(0)->Config().timerInterval = 30;
  set->Get(2)->Config().timerInterval = 86400;
  set->Get(1)->Config().timerInterval = 0;
  set->StartTimers(-1);
  set->StartTimers(0);  // keeps the running timer
  set->StopTimers(2);
  EXPECT_EQ(host.Take(), "+10:30000 +12:86400000 -12 ");
  // A timer starts its mailbox's request thread and stops until the run has ended.
  EXPECT_EQ(set->OnTimer(9) + set->OnTimer(13) + set->OnTimer(10) * 10 + set->TimerId(0), 10);
  EXPECT_EQ(WaitForEnd(), "-10 end1,0 ");
}

TEST_F(SchedulingTest, StoppingCutsOffASilentServer) {
  CTcpListener listener;  // accepts and never says a word
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 4), ListenResult::Listening);
  Session(0).SetAccount("127.0.0.1", listener.Port(), "u", "p");
  Session(0).SetTimeout(std::chrono::seconds(600));
  set->StartRetrieval(kTriggerTimer, 0);
  CTcpConnection accepted;
  ASSERT_EQ(listener.Accept(accepted, std::chrono::seconds(10)), AcceptResult::Accepted);
  const auto start = std::chrono::steady_clock::now();
  set->StopRetrievals();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(set->Get(0)->retrievalLock.TryAcquire());
  set->Get(0)->retrievalLock.Release();
}

class ThrowingClassifier : public IClassifier {
 public:
  void Classify(CMailMessage&) override { throw std::bad_alloc(); }
};

// The failed run stored nothing and dropped its connection without QUIT, so the server deleted
// nothing and the next run fetches the message. A request thread that throws still posts its end.
TEST_F(SchedulingTest, AnExceptionFailsItsRunAloneAndLeavesTheServerCopies) {
  test::ScriptedPop3Server remote([](test::FakePop3Server& server, int) {
    server.messages.push_back({"uid-1", "Subject: one\r\n\r\nbody\r\n"});
  });
  Session(0).SetAccount("127.0.0.1", remote.Port(), "u", "p");
  ThrowingClassifier throwing;
  set->SetClassifier(&throwing);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 0), -1);
  EXPECT_EQ(std::count(reporter.logLines.begin(), reporter.logLines.end(),
                       "APL : Retrieval ( one ) ended by an exception ( std::bad_alloc )."),
            1);
  EXPECT_EQ(set->Get(0)->MessageCount(), 0);
  set->SetClassifier(nullptr);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 0) * 10 + set->Get(0)->MessageCount(), 1);
  const std::vector<std::string> sent = remote.Transcripts(2);
  EXPECT_TRUE(sent.size() == 2 && sent[0].find("RETR 1\r\n") != std::string::npos &&
              sent[0].find("QUIT") == std::string::npos);
  EXPECT_EQ(host.Take(), "end1,0 end1,0 ");
  host.failures = 1;
  set->StartRetrieval(kTriggerTimer, 1);
  EXPECT_EQ(WaitForEnd(), "end1,1 ");
  EXPECT_EQ(std::count(reporter.logLines.begin(), reporter.logLines.end(),
                       "APL : Retrieval request ended by an exception ( std::bad_alloc )."),
            1);
}

}  // namespace
}  // namespace qm
