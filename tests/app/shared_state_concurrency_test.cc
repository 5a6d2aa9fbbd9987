// The user-interface thread adds, removes, reorders and reconfigures mailboxes and edits their
// local accounts while mail clients log in to the real local server (each login fetching the
// mailbox's new mail on demand) and retrieval requests run against a scripted remote server.
// Run under ThreadSanitizer, which reports any access to shared state without a lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/application.h"
#include "platform/locks.h"
#include "platform/socket.h"
#include "pop3client/pop3_session.h"
#include "support/scratch_directory.h"
#include "support/scripted_pop3_server.h"

namespace qm {
namespace {

using namespace std::chrono_literals;

// The front end's seam: posted messages wait in a queue for the test's user-interface loop.
class QueueUi : public IUserInterface {
 public:
  struct Posted {
    std::uint32_t message;
    std::intptr_t wParam;
    std::intptr_t lParam;
  };
  void PostMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard lock(mutex);
    queue.push_back({message, wParam, lParam});
  }
  void SetTimer(std::uint32_t, std::uint32_t) override {}
  void KillTimer(std::uint32_t) override {}
  void ShowMessage(std::string_view) override {}
  Answer Ask(std::string_view, Buttons, Answer defaultAnswer) override { return defaultAnswer; }
  void SetStatusText(std::string_view) override {}
  std::deque<Posted> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(queue, {});
  }

 private:
  std::mutex mutex;
  std::deque<Posted> queue;
};

// One mail client's conversation, a command and its reply at a time.
class MailClient {
 public:
  bool Open(std::uint16_t port) {
    return socket.Connect("127.0.0.1", port, 5s) == ConnectResult::Connected &&
           ReadUntil("\r\n").rfind("+OK", 0) == 0;
  }
  std::string Command(const std::string& command, bool multiline = false) {
    if (!socket.Send(command + "\r\n", 30s)) return {};
    std::string reply = ReadUntil("\r\n");
    if (multiline && reply.rfind("+OK", 0) == 0) reply += ReadUntil("\r\n.\r\n");
    return reply;
  }

 private:
  // Up to and including `end`; what came so far when the connection ends first.
  std::string ReadUntil(const std::string& end) {
    std::size_t at;
    char buffer[4096];
    while ((at = pending.find(end)) == std::string::npos) {
      const std::int64_t n = socket.Receive(buffer, sizeof buffer, 30s);
      if (n <= 0) return std::exchange(pending, {});
      pending.append(buffer, static_cast<std::size_t>(n));
    }
    std::string text = pending.substr(0, at + end.size());
    pending.erase(0, at + end.size());
    return text;
  }

  CTcpConnection socket;
  std::string pending;
};

// Points the mailbox at the remote server and sets its local account and options, holding its
// retrievalLock as the settings pages do. `variant` changes what a login does not depend on.
void Configure(CMailboxSet& set, int index, std::uint16_t remotePort, int variant) {
  CMailbox& mailbox = *set.Get(index);
  const std::string& name = mailbox.Name();
  COneSlotGuard hold(mailbox.retrievalLock);
  dynamic_cast<CPop3Session&>(mailbox.Client()).SetAccount("127.0.0.1", remotePort, "u", "p");
  const bool dustboxAccess = variant % 2 == 0;
  ASSERT_EQ(set.AssignLocalAccount(index, {"user_" + name, "pw_" + name, dustboxAccess,
                                           "dust_" + name, "dpw" + std::to_string(variant)}),
            1);
  set.EditConfig(index, [variant](CMailboxConfig& config) {
    config.Set(CMailboxConfig::OnDemandRetrieval, true);
    config.Set(CMailboxConfig::NotifySpam, variant % 3 == 0);
    config.timerInterval = 30 + static_cast<std::uint32_t>(variant % 5);
  });
}

TEST(SharedStateConcurrencyTest, UserEditsMailboxesWhileClientsLogInAndMailArrives) {
  ScratchDirectory directory;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(directory.Path());
  // No blocklist zone: classification asks no DNS server.
  std::ofstream(directory.File("qm_mailfilter.ini"))
      << "[Mailbox]\nPort=0\nBindAddress=127.0.0.1\n[Misc]\nStartupRetrieve=0\nServerTimeout=10\n"
         "[RBL]\nZone0=\nZone1=\nZone2=\nZone3=\nDnsServers=127.0.0.1:1\n";
  // Every connection offers two messages no connection offered before, so every run stores mail.
  test::ScriptedPop3Server remote([](test::FakePop3Server& server, int number) {
    for (int i = 1; i <= 2; ++i) {
      const std::string id = std::to_string(number) + "-" + std::to_string(i);
      server.messages.push_back(
          {id, "Subject: " + id + "\r\nMessage-ID: <" + id + "@remote>\r\n\r\nbody\r\n"});
    }
  });
  QueueUi ui;
  {
    CApplication app(ui, directory.Path());
    ASSERT_EQ(app.Startup(), CApplication::StartResult::Started);
    const std::uint16_t port = app.PopServer().WaitUntilListening(10s);
    ASSERT_NE(port, 0);
    CMailboxSet& set = app.Mailboxes();
    const std::vector<std::string> names = {"a", "b", "c"};
    for (const std::string& name : names) {
      const int index = set.Add(name);
      ASSERT_GE(index, 0);
      Configure(set, index, remote.Port(), 0);
    }

    std::atomic<bool> stop{false};
    std::atomic<int> logins{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> clients;
    for (unsigned seed = 1; seed <= 4; ++seed) {
      clients.emplace_back([&, seed] {
        std::mt19937 random(seed);
        while (!stop) {
          const std::string& name = names[random() % names.size()];
          MailClient client;
          if (!client.Open(port) || client.Command("USER user_" + name) != "+OK\r\n") {
            ++refused;
            continue;
          }
          if (client.Command("PASS pw_" + name) != "+OK\r\n") {
            ++refused;
            continue;
          }
          ++logins;
          if (client.Command("STAT") != "+OK 0 0\r\n") {
            client.Command("RETR 1", true);
            // Deletions decide the fate of server copies by settings the test is changing.
            if (random() % 4 == 0) client.Command("DELE 1");
          }
          // Half of them leave without QUIT, as a dropped connection does.
          if (random() % 2 == 0) client.Command("QUIT");
        }
      });
    }

    std::mt19937 random(99);
    const auto end = std::chrono::steady_clock::now() + 1500ms;
    for (int step = 0; std::chrono::steady_clock::now() < end; ++step) {
      for (const QueueUi::Posted& posted : ui.Take()) {
        app.OnMessage(posted.message, posted.wParam, posted.lParam);
      }
      const int count = set.Count();
      switch (step % 6) {
        case 0: {
          // A mailbox comes and goes; a client or retrieval at work on it keeps it a while.
          const int extra = set.Find("x");
          if (extra < 0) {
            const int added = set.Add("x");
            if (added >= 0) Configure(set, added, remote.Port(), step);
          } else {
            set.Remove(extra);
          }
          break;
        }
        case 1:
          set.MoveUp(static_cast<int>(random() % static_cast<unsigned>(count)));
          break;
        case 2:
          set.MoveDown(static_cast<int>(random() % static_cast<unsigned>(count)));
          break;
        case 3:
          Configure(set, set.Find(names[random() % names.size()]), remote.Port(), step);
          break;
        case 4:
          set.StartRetrieval(kTriggerTimer,
                             random() % 2 == 0 ? -1 : static_cast<int>(random() % 3));
          break;
        case 5:
          app.IdleStep();
          break;
      }
      std::this_thread::sleep_for(1ms);
    }
    stop = true;
    for (std::thread& client : clients) client.join();
    app.Shutdown();

    // Every client kept getting in with its account, however the accounts were being edited.
    EXPECT_EQ(refused.load(), 0);
    EXPECT_GT(logins.load(), 4);
    for (const std::string& name : names) {
      const int index = set.Find(name);
      ASSERT_GE(index, 0);
      EXPECT_GT(set.MessageCount(index), 0) << name;
    }
  }
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace qm
