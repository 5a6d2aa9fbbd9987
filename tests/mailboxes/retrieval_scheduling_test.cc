// Retrieval requests and timers: order, messages, status texts and the busy rules. The mailboxes
// point at loopback ports where nothing listens, so every run fails at once after its first log
// line, which tells the order.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "message/classifier.h"
#include "platform/locks.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

class RecordingHost : public IRetrievalHost {
 public:
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override {
    std::lock_guard lock(mutex);
    timers[id] = milliseconds;
  }
  void KillTimer(std::uint32_t id) override {
    std::lock_guard lock(mutex);
    timers.erase(id);
  }
  void RetrievalEnded(int trigger, int index) override {
    if (failuresLeft-- > 0) throw std::bad_alloc();
    std::lock_guard lock(mutex);
    ended.emplace_back(trigger, index);
  }
  // Posting an end fails this often first, as it may when memory runs out.
  std::atomic<int> failuresLeft{0};
  std::mutex mutex;
  std::map<std::uint32_t, std::uint32_t> timers;
  std::vector<std::pair<int, int>> ended;
};

// A loopback port with nothing listening on it.
std::uint32_t ClosedPort() {
  CTcpListener listener;
  EXPECT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  return listener.Port();
}

class SchedulingTest : public test::MailboxSetTest {
 protected:
  void SetUp() override {
    MailboxSetTest::SetUp();
    set = Set({"one", "two", "three"});
    set->SetRetrievalHost(&host);
    for (int i = 0; i < 3; ++i)
      Session(i).SetAccount("127.0.0.1", ClosedPort(), set->Get(i)->Name(), "pw");
  }
  void TearDown() override { set.reset(), MailboxSetTest::TearDown(); }
  CPop3Session& Session(int i) { return dynamic_cast<CPop3Session&>(set->Get(i)->Client()); }
  // Waits until a request thread has posted its end, then stops the request threads.
  void WaitForEndAndStop() {
    for (int i = 0; i < 500 && [this] { return std::lock_guard(host.mutex), host.ended.empty(); }();
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    set->StopRetrievals();
  }
  bool Logged(const std::string& line) {
    return std::count(reporter.logLines.begin(), reporter.logLines.end(), line) == 1;
  }
  std::vector<std::string> ConnectLines() {
    std::vector<std::string> lines;
    for (const std::string& line : reporter.logLines) {
      if (line.rfind("MSV : Connect to", 0) == 0) lines.push_back(line.substr(line.find('(')));
    }
    return lines;
  }

  RecordingHost host;
  std::unique_ptr<CMailboxSet> set;
};

TEST_F(SchedulingTest, AllMailboxesRunLastToFirstAndOnlyTheUsersOwnRequestReportsAFailure) {
  EXPECT_EQ(set->RunRequest(kTriggerCommand, -1), -1);
  EXPECT_EQ(ConnectLines(), (std::vector<std::string>{"( three )", "( two )", "( one )"}));
  EXPECT_TRUE(reporter.messages.empty());
  EXPECT_EQ(reporter.statusTexts.back().rfind("受信エラー発生 (", 0), 0u);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 1), -1);
  EXPECT_TRUE(reporter.messages.empty());
  EXPECT_EQ(set->RunRequest(kTriggerCommand, 1), -1);
  EXPECT_EQ(reporter.messages, std::vector<std::string>{"通信中にエラーが発生しました。"});
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{
                            {kTriggerCommand, -1}, {kTriggerTimer, 1}, {kTriggerCommand, 1}}));
  // A mailbox without a server succeeds quietly.
  Session(0).SetAccount("", 110, "", "");
  EXPECT_EQ(set->RunRequest(kTriggerCommand, 0), 0);
  EXPECT_EQ(reporter.statusTexts.back().rfind("通信正常終了 (", 0), 0u);
  EXPECT_EQ(reporter.statusTexts.back().size(), std::string("通信正常終了 (12:34:56)").size());
}

TEST_F(SchedulingTest, BusyMailboxEndsSilentlyUnlessTheUserAskedAndIsSkippedAmongAll) {
  COneSlotGuard busy(set->Get(1)->retrievalLock);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 1), -2);
  EXPECT_TRUE(reporter.messages.empty());
  EXPECT_EQ(set->RunRequest(kTriggerCommand, 1), -2);
  EXPECT_EQ(reporter.messages, std::vector<std::string>{"現在メール受信中"});
  // Nothing is posted and no status text is set for a busy mailbox.
  EXPECT_TRUE(host.ended.empty() && reporter.statusTexts.empty() && ConnectLines().empty());
  EXPECT_EQ(set->RunRequest(kTriggerTray, -1), -1);
  EXPECT_EQ(ConnectLines(), (std::vector<std::string>{"( three )", "( one )"}));
}

TEST_F(SchedulingTest, TimersFollowTheIntervalsAndStartRequestThreads) {
  set->Get(0)->Config().timerInterval = 30;
  set->Get(1)->Config().timerInterval = 0;
  set->Get(2)->Config().timerInterval = 86400;
  set->StartTimers(-1);
  EXPECT_EQ(host.timers, (std::map<std::uint32_t, std::uint32_t>{{10, 30000}, {12, 86400000}}));
  // A second start keeps the running timer.
  set->StartTimers(0);
  EXPECT_EQ(set->TimerId(0) + set->TimerId(1), 10u);
  set->StopTimers(2);
  EXPECT_EQ(host.timers, (std::map<std::uint32_t, std::uint32_t>{{10, 30000}}));
  // A timer starts its mailbox's request thread and stops until the run has ended.
  EXPECT_EQ(set->OnTimer(9) + set->OnTimer(13), 0);
  EXPECT_EQ(set->OnTimer(10), 1);
  EXPECT_EQ(set->TimerId(0), 0u);
  WaitForEndAndStop();
  set->StopTimers(-1);
  EXPECT_TRUE(host.timers.empty());
  std::lock_guard lock(host.mutex);
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{{kTriggerTimer, 0}}));
}

TEST_F(SchedulingTest, StoppingCutsOffASilentServer) {
  // A server that accepts and never says a word.
  CTcpListener listener;
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

TEST_F(SchedulingTest, AnExceptionFailsItsRunAloneAndLeavesTheServerCopies) {
  test::ScriptedPop3Server remote([](test::FakePop3Server& server, int) {
    server.messages.push_back({"uid-1", "Subject: one\r\nMessage-ID: <one@x>\r\n\r\nbody\r\n"});
  });
  Session(0).SetAccount("127.0.0.1", remote.Port(), "u", "p");
  ThrowingClassifier throwing;
  set->SetClassifier(&throwing);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 0), -1);
  EXPECT_TRUE(Logged("APL : Retrieval ( one ) ended by an exception ( std::bad_alloc )."));
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{{kTriggerTimer, 0}}));
  EXPECT_EQ(set->Get(0)->MessageCount(), 0);
  // The mailbox is free again, and nothing was stored, so the next run fetches the message.
  set->SetClassifier(nullptr);
  EXPECT_EQ(set->RunRequest(kTriggerTimer, 0), 0);
  EXPECT_EQ(set->Get(0)->MessageCount(), 1);
  // The failed run's connection was dropped: without QUIT the server deleted nothing.
  const std::vector<std::string> sent = remote.Transcripts(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_NE(sent[0].find("RETR 1\r\n"), std::string::npos);
  EXPECT_EQ(sent[0].find("QUIT"), std::string::npos);
}

TEST_F(SchedulingTest, ARequestThreadThatThrowsStillPostsItsEnd) {
  host.failuresLeft = 1;
  set->StartRetrieval(kTriggerTimer, 1);
  WaitForEndAndStop();
  EXPECT_TRUE(Logged("APL : Retrieval request ended by an exception ( std::bad_alloc )."));
  // Its timer starts again when the end arrives.
  std::lock_guard lock(host.mutex);
  EXPECT_EQ(host.ended, (std::vector<std::pair<int, int>>{{kTriggerTimer, 1}}));
}

}  // namespace
}  // namespace qm
