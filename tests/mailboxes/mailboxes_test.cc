#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "mailbox_set_fixture.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"

namespace qm {
namespace {

using test::MailboxSetTest;

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

class RecordingHost : public IRetrievalHost {
 public:
  void SetTimer(std::uint32_t id, std::uint32_t ms) override {
    Add("+" + std::to_string(id) + ":" + std::to_string(ms));
  }
  void KillTimer(std::uint32_t id) override { Add("-" + std::to_string(id)); }
  void RetrievalEnded(int trigger, int index) override {
    Add("end" + std::to_string(trigger) + "," + std::to_string(index));
  }
  void Add(const std::string& event) {
    std::lock_guard lock(mutex);
    events += event + " ";
  }
  std::mutex mutex;
  std::string events;
};

// The mailbox's server is a loopback port where nothing listens, so its run fails at once; a
// timer starts the mailbox's request thread and stops until the run has ended.
TEST_F(MailboxSetTest, TimersFollowTheIntervalsAndStartRequestThreads) {
  RecordingHost host;
  auto set = Set({"one", "two", "three"});
  set->SetRetrievalHost(&host);
  CTcpListener closed;
  ASSERT_EQ(closed.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  dynamic_cast<CPop3Session&>(set->Get(0)->Client())
      .SetAccount("127.0.0.1", closed.Port(), "u", "p");
  closed = CTcpListener();
  set->Get(0)->Config().timerInterval = 30;
  set->Get(2)->Config().timerInterval = 86400;
  set->Get(1)->Config().timerInterval = 0;
  set->StartTimers(-1);
  set->StartTimers(0);  // keeps the running timer
  set->StopTimers(2);
  EXPECT_EQ(set->OnTimer(9) + set->OnTimer(13) + set->OnTimer(10) * 10 + set->TimerId(0), 10);
  for (int i = 0; i < 500 && std::string((std::lock_guard(host.mutex), host.events)).find("end") ==
                                 std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  set->StopRetrievals();
  EXPECT_EQ(host.events, "+10:30000 +12:86400000 -12 -10 end1,0 ");
}

}  // namespace
}  // namespace qm
