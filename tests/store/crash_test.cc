// Kills a process while it appends, moves, restores, purges, trims and saves (at random moments,
// and just before each of its file operations in turn), then loads what it left and checks that
// every message is there once, whole, with its own marks, and that the server lists agree with
// what is stored.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
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

// Message i, recognisable and checkable from its bytes alone.
std::string MessageText(int i) {
  std::string text = "Subject: m" + std::to_string(i) + "\r\nMessage-ID: <" + std::to_string(i) +
                     "@crash>\r\n\r\n";
  const int lines = 20 + (i * 37) % 400;
  for (int j = 0; j < lines; ++j) {
    text += "line " + std::to_string(i) + " " + std::to_string(j) + "\r\n";
  }
  return text + ".\r\n";
}

int NumberOf(const std::string& subject) { return std::stoi(subject.substr(1)); }
std::string Uid(int i) { return "U" + std::to_string(i); }
std::string Said(char kind, int i) { return kind + (" " + std::to_string(i) + "\n"); }

// Every message carries marks of its own, so that marks moved to another message show.
CMailMark MarkOf(int i) {
  CMailMark mark;
  mark.SetHidden(i % 3 == 0);
  mark.SetOpened(i % 2 == 1);
  mark.SetClassification(i % 4 - 1, static_cast<unsigned>(i % 7));
  mark.uidl = Uid(i);
  return mark;
}

// Runs until it is killed, or for `steps` steps. Reports "p i" before a removal for good may take
// message i and "A i" once an append is finished.
void Work(const std::string& base, ServerDeletion policy, int report, unsigned seed, int steps) {
  std::mt19937 random(seed);
  auto box = CMailbox::CreateMain(base);
  if (!box->Load()) _exit(3);
  box->Config().SetServerDeletion(policy);
  box->Config().Set(CMailboxConfig::LimitDustbox, true);
  box->Config().dustboxLimit = 6;
  CMailbox& dustbox = *box->Dustbox();
  auto say = [report](const std::string& text) {
    if (write(report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(4);
  };
  auto pick = [&random](const CMailbox& mailbox) {
    return 1 + static_cast<int>(random() % static_cast<unsigned>(mailbox.MessageCount()));
  };
  for (int i = 0; i != steps; ++i) {
    const int step = static_cast<int>(random() % 20);
    if (step < 10 || box->MessageCount() < 2) {
      // Stored as a retrieval stores: spam and bad mail to the dustbox, the server copy listed.
      CMailMessage message;
      message.Parse(MessageText(i));
      message.mark = MarkOf(i);
      int deleteNow = 0;
      if (box->StoreRetrieved(message, deleteNow) > 0) say(Said('A', i));
    } else if (step < 12) {
      box->RemoveMessages({pick(*box), pick(*box)}, &dustbox);
    } else if (step < 14) {
      const int n = pick(*box);
      say(Said('p', NumberOf(box->Summary(n).subject)));
      box->RemoveMessages({n}, nullptr);
    } else if (step < 16 && dustbox.MessageCount() > 0) {
      box->RestoreFromDustbox(pick(dustbox));
    } else if (step < 18) {
      for (int n = 1; n <= dustbox.MessageCount() - 6; ++n) {
        say(Said('p', NumberOf(dustbox.Summary(n).subject)));
      }
      box->TrimDustbox();
    } else {
      box->Save();
      dustbox.Save();
    }
  }
}

std::set<std::string> Uids(CUidList list) {
  std::set<std::string> uids;
  std::string uid, messageId;
  for (list.Rewind(); list.Next(uid, messageId);) uids.insert(uid);
  return uids;
}

// Deleted at once on the server, left there, or deleted when moved to the dustbox.
constexpr ServerDeletion kPolicies[] = {DeleteWhenRetrieved, KeepOnServer, DeleteWhenDustboxed};

class CrashTest : public ::testing::Test {
 protected:
  CrashTest() { std::filesystem::remove_all(dir); }
  ~CrashTest() override { std::filesystem::remove_all(dir); }

  // Runs the work in a child (`prepare` first, there) that `kill` may end, and checks what the
  // child left.
  void RunAndCheck(
      ServerDeletion policy, unsigned seed, int steps, const std::function<void(pid_t)>& kill,
      const std::function<void()>& prepare = [] {}) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      prepare();
      Work(base, policy, fds[1], seed, steps);
      _exit(0);
    }
    close(fds[1]);
    kill(pid);
    int status = 0;
    waitpid(pid, &status, 0);
    std::string reports;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) reports.append(buffer, n);
    close(fds[0]);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) > 2) << "the worker failed: " << status;
    Check(policy, reports);
  }

  void Check(ServerDeletion policy, const std::string& reports) {
    std::set<int> appended, mayBeGone;
    std::istringstream lines(reports);
    for (std::string kind, what; lines >> kind >> what;) {
      (kind == "A" ? appended : mayBeGone).insert(std::stoi(what));
    }
    auto box = CMailbox::CreateMain(base);
    box->Config().SetServerDeletion(policy);
    ASSERT_EQ(box->Load(), 1);
    EXPECT_FALSE(FileExists(box->TransactionFile()));
    const std::set<std::string> deletedHere = Uids(box->Client().DeletedHere());
    const std::set<std::string> pending = Uids(box->Client().PendingDeletions());
    std::map<int, int> seen;
    for (CMailbox* mailbox : {box.get(), box->Dustbox()}) {
      for (int n = 1; n <= mailbox->MessageCount(); ++n) {
        std::string bytes;
        ASSERT_TRUE(mailbox->ReadStoredBytes(n, bytes));
        const int i = NumberOf(mailbox->Summary(n).subject);
        ++seen[i];
        EXPECT_EQ(bytes, MessageText(i)) << "message " << i << " is not whole";
        const CMailMark mark = mailbox->Mark(n);
        EXPECT_EQ(mark.flags, MarkOf(i).flags) << "message " << i << " has other marks";
        // A copy whose deletion was requested tracks no unique id; any other tracks its own.
        if (mark.uidl.empty()) {
          EXPECT_TRUE(pending.count(Uid(i))) << "message " << i << " lost its server copy";
        } else {
          EXPECT_EQ(mark.uidl, Uid(i));
          EXPECT_FALSE(pending.count(Uid(i)) || deletedHere.count(Uid(i)))
              << "message " << i << " is stored and listed as deleted";
        }
      }
    }
    for (const auto& [i, count] : seen) EXPECT_EQ(count, 1) << "message " << i << " doubled";
    for (int i : appended) {
      if (seen.count(i) != 0) continue;
      EXPECT_TRUE(mayBeGone.count(i)) << "message " << i << " was lost";
      EXPECT_TRUE(deletedHere.count(Uid(i)) || pending.count(Uid(i)))
          << "message " << i << " was deleted but its server copy is forgotten";
    }
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
  // A longer sweep: QM_CRASH_ROUNDS=1000.
  const char* wanted = std::getenv("QM_CRASH_ROUNDS");
  const int rounds = wanted != nullptr ? std::atoi(wanted) : 40;
  std::mt19937 random(20261207);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const auto delay = std::chrono::microseconds(5000 + random() % 80000);
    RunAndCheck(kPolicies[round % 3], static_cast<unsigned>(round), -1, [delay](pid_t pid) {
      std::this_thread::sleep_for(delay);
      kill(pid, SIGKILL);
    });
  }
}

// Whether a death just before the operation can leave the files other than a death after the one
// before it (a sync only matters when the machine, not the process, stops).
bool Changes(FileOperation op) { return op != FileOperation::Read && op != FileOperation::Sync; }

// A death just before each file operation of a fixed run, one after the other.
TEST_F(CrashTest, DeathBeforeEveryFileOperation) {
  constexpr int kSteps = 30;
  for (const ServerDeletion policy : kPolicies) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    int total = 0;
    SetFileFaultInjector([&total](FileOperation op) {
      total += Changes(op) ? 1 : 0;
      return false;
    });
    const int ignored = open("/dev/null", O_WRONLY);
    Work(base, policy, ignored, 7, kSteps);
    close(ignored);
    SetFileFaultInjector(nullptr);
    ASSERT_GT(total, 100);
    for (int dying = 1; dying <= total; ++dying) {
      SCOPED_TRACE("death before operation " + std::to_string(dying));
      RunAndCheck(
          policy, 7, kSteps, [](pid_t) {},
          [dying] {
            SetFileFaultInjector([dying, seen = 0](FileOperation op) mutable {
              if (Changes(op) && ++seen == dying) _exit(1);
              return false;
            });
          });
    }
  }
}

}  // namespace
}  // namespace qm
