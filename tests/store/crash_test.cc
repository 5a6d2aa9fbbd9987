// Kills a process while it appends, moves, restores, purges, trims and saves (SIGKILL at random,
// or just before each file change), or refuses each file operation in turn; then checks that
// every message is there once, whole, with its own marks, and the server lists agree.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "platform/file_io.h"
#include "store/mailbox.h"

namespace qm {
namespace {

// Message i, recognisable and checkable from its bytes alone, with marks of its own so that marks
// moved to another message show.
std::string MessageText(int i) {
  std::string text =
      "Subject: " + std::to_string(i) + "\r\nMessage-ID: <" + std::to_string(i) + "@crash>\r\n\r\n";
  for (int j = 0; j < 20 + (i * 37) % 400; ++j)
    text += "line " + std::to_string(i) + " " + std::to_string(j) + "\r\n";
  return text + ".\r\n";
}
CMailMark MarkOf(int i) {
  CMailMark mark;
  mark.SetHidden(i % 3 == 0), mark.SetOpened(i % 2 == 1), mark.uidl = "U" + std::to_string(i);
  mark.SetClassification(i % 4 - 1, static_cast<unsigned>(i % 7));  // spam and bad to the dustbox
  return mark;
}
int NumberOf(const CMailbox& box, int n) { return std::stoi(box.Summary(n).subject); }
bool Changes(FileOperation op) { return op != FileOperation::Read && op != FileOperation::Sync; }
constexpr ServerDeletion kPolicies[] = {DeleteWhenRetrieved, KeepOnServer, DeleteWhenDustboxed};

// Runs until killed, or for `steps` steps. Reports "p i" before a removal for good may take
// message i and "A i" once an append is finished.
std::unique_ptr<CMailbox> Work(const std::string& base, ServerDeletion policy, int report,
                               unsigned seed, int steps) {
  std::mt19937 random(seed);
  auto box = CMailbox::CreateMain(base);
  if (!box->Load()) return nullptr;
  box->Config().SetServerDeletion(policy);
  box->Config().Set(CMailboxConfig::LimitDustbox, true);
  box->Config().dustboxLimit = 6;
  CMailbox& dustbox = *box->Dustbox();
  auto say = [report](char kind, int i) {
    const std::string text = kind + (" " + std::to_string(i) + "\n");
    if (write(report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(4);
  };
  auto pick = [&random](const CMailbox& mailbox) {
    return 1 + static_cast<int>(random() % static_cast<unsigned>(mailbox.MessageCount()));
  };
  for (int i = 0; i != steps; ++i) {
    const int step = static_cast<int>(random() % 20);
    CMailMessage message;
    if (int deleteNow = 0, n = 0; step < 10 || box->MessageCount() < 2) {
      message.Parse(MessageText(i)), message.mark = MarkOf(i);
      if (box->StoreRetrieved(message, deleteNow) > 0) say('A', i);
    } else if (step < 12) {
      box->RemoveMessages({pick(*box), pick(*box)}, &dustbox);
    } else if (step < 14) {
      say('p', NumberOf(*box, n = pick(*box)));
      box->RemoveMessages({n}, nullptr);
    } else if (step < 16 && dustbox.MessageCount() > 0) {
      box->RestoreFromDustbox(pick(dustbox));
    } else if (step < 18) {
      for (n = 1; n <= dustbox.MessageCount() - 6; ++n) say('p', NumberOf(dustbox, n));
      box->TrimDustbox();
    } else {
      box->Save(), dustbox.Save();
    }
  }
  return box;
}

class CrashTest : public ::testing::Test {
 protected:
  ~CrashTest() override { std::filesystem::remove_all(dir); }

  void Fresh(int (&fds)[2]) {
    std::filesystem::remove_all(dir), std::filesystem::create_directories(dir);
    ASSERT_EQ(pipe(fds), 0);
  }
  // Runs the work in a child that dies after `delay` (SIGKILL) or just before its `dying`-th file
  // change (0: never), and checks what it left.
  void RunAndCheck(ServerDeletion policy, unsigned seed, int steps, std::chrono::microseconds delay,
                   int dying) {
    int fds[2];
    Fresh(fds);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      SetFileFaultInjector([dying, seen = 0](FileOperation op) mutable {
        if (Changes(op) && ++seen == dying) _exit(1);
        return false;
      });
      _exit(Work(base, policy, fds[1], seed, steps) ? 0 : 3);
    }
    close(fds[1]);
    if (delay.count() > 0) std::this_thread::sleep_for(delay), kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) > 2) << "the worker failed: " << status;
    Check(policy, fds[0]);
  }

  // Checks what the work left against the reports read from `from`; returns its messages' names.
  std::string Check(ServerDeletion policy, int from) {
    std::string reports, all;
    char buffer[4096];
    for (ssize_t n; (n = read(from, buffer, sizeof buffer)) > 0;) reports.append(buffer, n);
    close(from);
    std::set<int> appended, mayBeGone;
    std::istringstream lines(reports);
    for (std::string kind, what; lines >> kind >> what;)
      (kind == "A" ? appended : mayBeGone).insert(std::stoi(what));
    auto box = CMailbox::CreateMain(base);
    box->Config().SetServerDeletion(policy);
    EXPECT_EQ(box->Load(), 1);
    EXPECT_FALSE(FileExists(box->TransactionFile()));
    std::set<std::string> deletedHere, pending;
    std::string uid, messageId;
    for (auto [list, into] : {std::pair{box->Client().DeletedHere(), &deletedHere},
                              {box->Client().PendingDeletions(), &pending}})
      for (list.Rewind(); list.Next(uid, messageId);) into->insert(uid);
    std::map<int, int> seen;
    for (CMailbox* mailbox : {box.get(), box->Dustbox()}) {
      for (int n = 1; n <= mailbox->MessageCount(); ++n) {
        std::string bytes;
        const int i = NumberOf(*mailbox, n);
        const CMailMark mark = mailbox->Mark(n), own = MarkOf(i);
        ++seen[i], all += mailbox->Summary(n).subject + mark.uidl + " ";
        EXPECT_TRUE(mailbox->ReadStoredBytes(n, bytes) && bytes == MessageText(i) &&
                    mark.flags == own.flags)
            << "message " << i << " is not whole or has other marks";
        // A copy whose deletion was requested tracks no unique id; any other tracks its own.
        EXPECT_TRUE(mark.uidl.empty() ? pending.count(own.uidl) != 0
                                      : mark.uidl == own.uidl && !pending.count(own.uidl) &&
                                            !deletedHere.count(own.uidl))
            << "message " << i
            << (mark.uidl.empty() ? " lost its server copy" : " is stored and listed as deleted");
      }
    }
    for (const auto& [i, count] : seen) EXPECT_EQ(count, 1) << "message " << i << " doubled";
    for (int i : appended) {
      const std::string id = MarkOf(i).uidl;
      EXPECT_TRUE(seen.count(i) ||
                  (mayBeGone.count(i) && (deletedHere.count(id) || pending.count(id))))
          << "message " << i << " was lost, or its server copy forgotten";
    }
    return all;
  }

  // A process that dies leaves its writes in memory, not on the disk: where there is a file
  // system in memory, the syncs need not wait for a disk.
  const std::filesystem::path dir =
      (std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                 : std::filesystem::temp_directory_path()) /
      ("qm_crash_" + std::to_string(::getpid()));
  const std::string base = (dir / "box").string();
};

TEST_F(CrashTest, RandomKills) {
  const char* wanted = std::getenv("QM_CRASH_ROUNDS");  // a longer sweep: QM_CRASH_ROUNDS=1000
  std::mt19937 random(20261207);
  for (int round = 0; round < (wanted != nullptr ? std::atoi(wanted) : 40); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunAndCheck(kPolicies[round % 3], static_cast<unsigned>(round), -1,
                std::chrono::microseconds(5000 + random() % 80000), 0);
  }
}

// Only file changes matter: a sync does only when the machine, not the process, stops.
TEST_F(CrashTest, DeathBeforeEveryFileOperation) {
  for (const ServerDeletion policy : kPolicies) {
    int total = 0, fds[2];
    Fresh(fds);
    SetFileFaultInjector([&](FileOperation op) { return total += Changes(op), false; });
    EXPECT_TRUE(Work(base, policy, fds[1], 7, 30));
    close(fds[0]), close(fds[1]);
    SetFileFaultInjector(nullptr);
    ASSERT_GT(total, 100);
    for (int dying = 1; dying <= total; ++dying) {
      SCOPED_TRACE("death before operation " + std::to_string(dying));
      RunAndCheck(policy, 7, 30, std::chrono::microseconds(0), dying);
    }
  }
}

// Whatever file operation is refused, a save with the disk working again brings the files up to
// date with the mailbox in memory.
TEST_F(CrashTest, EveryRefusedFileOperationLeavesFilesAndIndexInAgreement) {
  int total = 0;
  for (int failing = 0; failing == 0 || failing <= total; ++failing) {
    SCOPED_TRACE("operation " + std::to_string(failing));
    int fds[2], seen = 0;
    Fresh(fds);
    SetFileFaultInjector([&](FileOperation) { return ++seen == failing; });
    auto box = Work(base, DeleteWhenDustboxed, fds[1], 7, 30);
    SetFileFaultInjector(nullptr);
    close(fds[1]);
    total = failing == 0 ? seen : total;
    if (box == nullptr) continue;
    box->Save(), box->Dustbox()->Save();
    std::string inMemory;
    for (CMailbox* mailbox : {box.get(), box->Dustbox()})
      for (int n = 1; n <= mailbox->MessageCount(); ++n)
        inMemory += mailbox->Summary(n).subject + mailbox->Mark(n).uidl + " ";
    EXPECT_EQ(Check(DeleteWhenDustboxed, fds[0]), inMemory);
  }
  EXPECT_GT(total, 100);
}

}  // namespace
}  // namespace qm
