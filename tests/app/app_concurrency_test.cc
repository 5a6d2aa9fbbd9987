#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/application.h"
#include "app/log.h"
#include "platform/locks.h"
#include "platform/socket.h"
#include "platform/time_format.h"
#include "pop3client/pop3_session.h"
#include "support/file_bytes.h"
#include "support/scoped_time_zone.h"
#include "support/scratch_directory.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

// Threads log while another flushes: every line reaches the file once, whole, in its thread's
// order, stamped with the clock's readings in file order (a plain counter: read unlocked, it
// races).
TEST(LogConcurrencyTest, LinesFromManyThreadsAreWholeAndInLockOrder) {
  test::ScopedTimeZone zone("UTC");
  ScratchDirectory dir;
  constexpr int kThreads = 4, kLines = 500;
  constexpr std::int64_t kStart = 1236261807;
  std::int64_t reading = kStart;
  CLog log(dir.Path(), [&reading] { return reading++; });
  std::atomic<int> running{kThreads}, failedFlushes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&log, &running, t] {
      for (int i = 0; i < kLines; ++i)
        log.Log("T" + std::to_string(t) + " line " + std::to_string(i));
      --running;
    });
  std::thread flusher([&] {
    while (running > 0) failedFlushes += log.FlushLog() ? 0 : 1;
  });
  for (auto& thread : threads) thread.join();
  flusher.join();
  ASSERT_TRUE(failedFlushes == 0 && log.FlushLog());
  const std::string file = test::ReadFileBytes(dir.File(CLog::kFileName));
  std::vector<int> next(kThreads, 0);
  std::string expected;
  for (std::size_t k = 0, at = 0; k < kThreads * kLines && at < file.size(); ++k) {
    const int t = file[file.find('\t', at) + 2] - '0';  // the thread that wrote the k-th line
    if (t < 0 || t >= kThreads) break;
    expected += FormatLocalTime("%Y %b %d %H:%M:%S\t", kStart + static_cast<std::int64_t>(k)) +
                "T" + std::to_string(t) + " line " + std::to_string(next[t]++) + "\r\n";
    at = file.find("\r\n", at) + 2;
  }
  EXPECT_EQ(file, expected);
  EXPECT_EQ(reading, kStart + kThreads * kLines);
}

using namespace std::chrono_literals;

class QueueUi : public IUserInterface {
 public:
  void PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard lock(mutex);
    queue.emplace_back(message, wParam, lParam);
  }
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}
  void ShowMessage(std::string_view) override {}
  Answer Ask(std::string_view, Buttons, Answer defaultAnswer) override { return defaultAnswer; }
  void SetStatusText(std::string_view) override {}
  std::mutex mutex;
  std::deque<std::tuple<std::uint32_t, std::intptr_t, std::intptr_t>> queue;
};

// One mail client's command and the first line of its reply; a message retrieved is read whole.
std::string Command(CTcpConnection& socket, const std::string& command) {
  std::string reply;
  char buffer[4096];
  auto whole = [&] {
    return reply.ends_with(command.rfind("RETR", 0) == 0 && reply.rfind("+OK", 0) == 0 ? "\r\n.\r\n"
                                                                                       : "\r\n");
  };
  if (!command.empty() && !socket.Send(command + "\r\n", 30s)) return {};
  for (std::int64_t n; !whole(); reply.append(buffer, static_cast<std::size_t>(n)))
    if ((n = socket.Receive(buffer, sizeof buffer, 30s)) <= 0) return {};
  return reply.substr(0, reply.find("\r\n") + 2);
}

// Points the mailbox at the remote server and sets its local account and options, holding its
// retrievalLock as the settings pages do. `variant` changes what a login does not depend on.
void Configure(CMailboxSet& set, int index, std::uint16_t remotePort, int variant) {
  CMailbox& mailbox = *set.Get(index);
  const std::string& name = mailbox.Name();
  COneSlotGuard hold(mailbox.retrievalLock);
  dynamic_cast<CPop3Session&>(mailbox.Client()).SetAccount("127.0.0.1", remotePort, "u", "p");
  ASSERT_EQ(set.AssignLocalAccount(index, {"user_" + name, "pw_" + name, variant % 2 == 0,
                                           "dust_" + name, "dpw" + std::to_string(variant)}),
            1);
  set.EditConfig(index, [variant](CMailboxConfig& config) {
    config.Set(CMailboxConfig::OnDemandRetrieval, true);
    config.Set(CMailboxConfig::NotifySpam, variant % 3 == 0);
    config.timerInterval = 30 + static_cast<std::uint32_t>(variant % 5);
  });
}

// The user-interface thread adds, removes, reorders and reconfigures mailboxes and edits their
// local accounts while mail clients log in to the real local server (each login fetching new
// mail on demand) and retrieval requests run against a scripted remote server.
TEST(SharedStateConcurrencyTest, UserEditsMailboxesWhileClientsLogInAndMailArrives) {
  ScratchDirectory directory;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(directory.Path());
  // No blocklist zone: classification asks no DNS server.
  test::WriteFileBytes(
      "qm_mailfilter.ini",
      "[Mailbox]\nPort=0\nBindAddress=127.0.0.1\n[Misc]\nStartupRetrieve=0\nServerTimeout=10\n[RBL]"
      "\nZone0=\nZone1=\nZone2=\nZone3=\nDnsServers=127.0.0.1:1\n");
  // Every connection offers two messages no connection offered before, so every run stores mail.
  test::ScriptedPop3Server remote([](test::FakePop3Server& server, int number) {
    for (const std::string& id : {std::to_string(number) + "-1", std::to_string(number) + "-2"})
      server.messages.push_back(
          {id, "Subject: " + id + "\r\nMessage-ID: <" + id + "@remote>\r\n\r\nbody\r\n"});
  });
  QueueUi ui;
  {
    CApplication app(ui, directory.Path());
    ASSERT_EQ(app.Startup(), CApplication::StartResult::Started);
    const std::uint16_t port = app.PopServer().WaitUntilListening(10s);
    ASSERT_NE(port, 0);
    CMailboxSet& set = app.Mailboxes();
    const std::vector<std::string> names = {"a", "b", "c"};
    for (const std::string& name : names) Configure(set, set.Add(name), remote.Port(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> logins{0}, refused{0};
    std::vector<std::thread> clients;
    for (unsigned seed = 1; seed <= 4; ++seed) {
      clients.emplace_back([&, seed] {
        for (std::mt19937 random(seed); !stop;) {
          const std::string& name = names[random() % names.size()];
          CTcpConnection socket;
          if (socket.Connect("127.0.0.1", port, 5s) != ConnectResult::Connected ||
              Command(socket, "").rfind("+OK", 0) != 0 ||
              Command(socket, "USER user_" + name) != "+OK\r\n" ||
              Command(socket, "PASS pw_" + name) != "+OK\r\n") {
            ++refused;
            continue;
          }
          ++logins;
          // Deletions decide the fate of server copies by settings the test is changing.
          if (Command(socket, "STAT") != "+OK 0 0\r\n" &&
              Command(socket, "RETR 1").rfind("+OK", 0) == 0 && random() % 4 == 0)
            Command(socket, "DELE 1");
          if (random() % 2 == 0) Command(socket, "QUIT");  // or leave as a dropped connection does
        }
      });
    }
    std::mt19937 random(99);
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    for (int step = 0; std::chrono::steady_clock::now() < end; ++step) {
      decltype(ui.queue) posted;
      std::swap((std::lock_guard(ui.mutex), posted), ui.queue);
      for (const auto& [message, wParam, lParam] : posted) app.OnMessage(message, wParam, lParam);
      const int count = set.Count(), extra = set.Find("x");
      if (step % 6 == 0 && extra >= 0) set.Remove(extra);  // refused while x is at work
      if (const int added = step % 6 == 0 && extra < 0 ? set.Add("x") : -1; added >= 0)
        Configure(set, added, remote.Port(), step);
      if (step % 6 == 1) set.MoveUp(static_cast<int>(random() % static_cast<unsigned>(count)));
      if (step % 6 == 2) set.MoveDown(static_cast<int>(random() % static_cast<unsigned>(count)));
      if (step % 6 == 3)
        Configure(set, set.Find(names[random() % names.size()]), remote.Port(), step);
      if (step % 6 == 4)
        set.StartRetrieval(kTriggerTimer, random() % 2 == 0 ? -1 : static_cast<int>(random() % 3));
      if (step % 6 == 5) app.IdleStep();
      std::this_thread::sleep_for(1ms);
    }
    stop = true;
    for (std::thread& client : clients) client.join();
    app.Shutdown();
    // Every client kept getting in with its account, however the accounts were being edited.
    EXPECT_EQ(refused.load(), 0);
    EXPECT_GT(logins.load(), 4);
    for (const std::string& name : names) EXPECT_GT(set.MessageCount(set.Find(name)), 0) << name;
  }
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace qm
