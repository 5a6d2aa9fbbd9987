// The set of mailboxes: names, removal while busy, local accounts, and retrieval timers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "mailbox_set_fixture.h"
#include "mailboxes/mailbox_set.h"
#include "platform/locks.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

// The set of mailboxes: names, removal while busy, and the local accounts mail clients log in
// with.

using test::MailboxSetTest;
using Strings = std::vector<std::string>;

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

// Retrieval timers and requests that fail. The mailboxes point at loopback ports where nothing
// listens, so every run fails at once.

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
  RecordingHost host;
  std::unique_ptr<CMailboxSet> set;
};

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

}  // namespace
}  // namespace qm
