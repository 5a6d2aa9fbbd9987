#include "platform/child_process.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

// Waits until the output file holds `text`; false after ten seconds.
bool WaitForOutput(const std::string& path, const std::string& text) {
  for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (test::ReadFileBytes(path).find(text) != std::string::npos) return true;
  }
  return false;
}

// The program blocks the termination signals in every thread; a helper must not inherit that, and
// writes to a file only its user can read. Stop ends even a child that ignores SIGTERM.
TEST(ChildProcessTest, ChildGetsNoBlockedSignalsAPrivateFileAndCanBeStopped) {
  ScratchDirectory dir;
  const std::string log = dir.File("child.log");
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  CChildProcess child;
  const bool started =
      child.Start({"/bin/sh", "-c",
                   "trap '' TERM; grep SigBlk /proc/self/status; while :; do sleep 0.05; done"},
                  log);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(started);
  EXPECT_TRUE(WaitForOutput(log, "SigBlk:\t0000000000000000\n"));
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  child.Stop(100);
  EXPECT_FALSE(child.Running());
  EXPECT_TRUE(child.Start({"/bin/sh", "-c", "echo again"}, log));  // and another may follow
  EXPECT_TRUE(WaitForOutput(log, "again\n"));
}

TEST(ChildProcessTest, FindProgramSkipsRelativePathEntriesAndTriesTheExtraDirectories) {
  ScratchDirectory dir;
  const std::string tool = dir.File("qm_test_tool");
  std::ofstream(tool) << "#!/bin/sh\n";
  std::ofstream(dir.File("qm_test_plain")) << "not a program\n";
  chmod(tool.c_str(), 0700);
  const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  // The tool lies in the current directory too, which a relative entry would name.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  setenv("PATH", ("::.:/nonexistent:" + savedPath).c_str(), 1);
  EXPECT_EQ(FindProgram("qm_test_tool", {}), "");
  EXPECT_EQ(FindProgram("qm_test_tool", {"/nonexistent", dir.Path()}), tool);
  EXPECT_EQ(FindProgram("qm_test_plain", {dir.Path()}), "");
  EXPECT_NE(FindProgram("sh", {}), "");
  setenv("PATH", savedPath.c_str(), 1);
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace qm
