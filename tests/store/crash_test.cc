// Kills a process at random moments while it appends, moves, purges and saves, then checks that
// what it had finished survived whole and that every file still loads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "store/mailbox.h"

namespace qm {
namespace {

// Message i, recognisable and checkable from its bytes alone.
std::string MessageText(int i) {
  std::string text = "Subject: m" + std::to_string(i) + "\r\nMessage-ID: <" + std::to_string(i) +
                     "@crash>\r\n\r\n";
  const int lines = 20 + (i * 37) % 400;
  for (int j = 0; j < lines; ++j)
    text += "line " + std::to_string(i) + " " + std::to_string(j) + "\r\n";
  return text + ".\r\n";
}

int NumberOf(const std::string& subject) { return std::stoi(subject.substr(1)); }

// Runs in the child until it is killed; reports each finished step on `report`.
[[noreturn]] void Worker(const std::string& base, int report, unsigned seed) {
  std::mt19937 random(seed);
  auto box = CMailbox::CreateMain(base);
  box->Config().SetServerDeletion(KeepOnServer);
  if (!box->Load()) _exit(3);
  auto say = [report](const std::string& line) {
    const std::string text = line + "\n";
    if (write(report, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(4);
  };
  for (int i = 0;; ++i) {
    const int step = static_cast<int>(random() % 10);
    if (step < 6 || box->MessageCount() == 0) {
      CMailMessage message;
      message.Parse(MessageText(i));
      message.mark.uidl = "U" + std::to_string(i);
      if (box->AppendMessage(message) > 0) say("A " + std::to_string(i));
    } else if (step < 8) {
      const int n = 1 + static_cast<int>(random() % static_cast<unsigned>(box->MessageCount()));
      const std::string subject = box->Summary(n).subject;
      if (box->RemoveMessage(n, box->Dustbox())) say("M " + subject);
    } else if (step < 9 && box->Dustbox()->MessageCount() > 0) {
      const std::string subject = box->Dustbox()->Summary(1).subject;
      if (box->Dustbox()->RemoveMessage(1, nullptr)) say("P " + subject);
    } else {
      if (box->Save() && box->Dustbox()->Save()) say("S");
    }
  }
}

TEST(CrashTest, FinishedWorkSurvivesAKillAtAnyMoment) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("qm_crash_" + std::to_string(::getpid()));
  std::mt19937 random(20261206);
  for (int round = 0; round < 30; ++round) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string base = (dir / "box").string();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      Worker(base, fds[1], static_cast<unsigned>(round));
    }
    close(fds[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the worker stopped by itself: " << status;

    std::string reports;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) reports.append(buffer, n);
    close(fds[0]);
    // Replay the finished steps: where every finished message must be.
    std::vector<int> expectedMain;
    std::deque<int> expectedDustbox;
    std::vector<int> purged;
    std::istringstream lines(reports);
    for (std::string kind, what; lines >> kind;) {
      if (kind == "S") continue;
      lines >> what;
      if (kind == "A") expectedMain.push_back(std::stoi(what));
      if (kind == "M") {
        std::erase(expectedMain, NumberOf(what));
        expectedDustbox.push_back(NumberOf(what));
      }
      if (kind == "P") {
        ASSERT_EQ(expectedDustbox.front(), NumberOf(what));
        expectedDustbox.pop_front();
        purged.push_back(NumberOf(what));
      }
    }

    auto box = CMailbox::CreateMain(base);
    ASSERT_EQ(box->Load(), 1) << "round " << round;
    std::map<int, int> seen;
    for (CMailbox* mailbox : {box.get(), box->Dustbox()}) {
      for (int n = 1; n <= mailbox->MessageCount(); ++n) {
        std::string bytes;
        ASSERT_TRUE(mailbox->ReadStoredBytes(n, bytes));
        const int i = NumberOf(mailbox->Summary(n).subject);
        // Whole and unmixed: exactly the bytes that were appended for this message.
        EXPECT_EQ(bytes, MessageText(i)) << "round " << round << " message " << i;
        ++seen[i];
      }
    }
    for (int i : expectedMain) {
      EXPECT_GE(seen[i], 1) << "round " << round << ": finished message " << i << " was lost";
    }
    for (std::size_t k = 0; k < expectedDustbox.size(); ++k) {
      // The oldest one may have been purged by a step that finished but was not reported yet.
      if (k == 0) continue;
      EXPECT_GE(seen[expectedDustbox[k]], 1)
          << "round " << round << ": finished move of " << expectedDustbox[k] << " was lost";
    }
    for (int i : purged) {
      EXPECT_EQ(seen[i], 0) << "round " << round << ": purged message " << i << " came back";
    }
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qm
