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

#include "platform/file_io.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

// Waits until the output file holds `text`; false after ten seconds.
bool WaitForOutput(const std::string& path, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string output;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFileContent(path, output) && output.find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ChildProcessTest, ChildGetsNoBlockedSignalsAndWritesToAPrivateFile) {
  ScratchDirectory dir;
  const std::string log = dir.File("child.log");
  // The program blocks the termination signals in every thread; a helper must not inherit that.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  CChildProcess child;
  int error = 0;
  const bool started = child.Start({"/bin/sh", "-c", "grep SigBlk /proc/self/status"}, log, &error);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ASSERT_TRUE(started) << error;
  EXPECT_TRUE(WaitForOutput(log, "SigBlk:\t0000000000000000\n"));
  while (child.Running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  struct stat st;
  ASSERT_EQ(stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(ChildProcessTest, StopEndsAChildThatIgnoresSigterm) {
  ScratchDirectory dir;
  const std::string log = dir.File("child.log");
  CChildProcess child;
  ASSERT_TRUE(child.Start(
      {"/bin/sh", "-c", "trap '' TERM; echo ready; while :; do sleep 0.05; done"}, log));
  ASSERT_TRUE(WaitForOutput(log, "ready"));
  EXPECT_TRUE(child.Running());
  child.Stop(100);
  EXPECT_FALSE(child.Running());
  // A stopped child can be followed by another.
  EXPECT_TRUE(child.Start({"/bin/sh", "-c", "echo again"}, log));
  EXPECT_TRUE(WaitForOutput(log, "ready\nagain\n"));
}

TEST(ChildProcessTest, FindProgramSkipsRelativePathEntriesAndTriesTheExtraDirectories) {
  ScratchDirectory dir;
  const std::string tool = dir.File("qm_test_tool");
  std::ofstream(tool) << "#!/bin/sh\n";
  const std::string plain = dir.File("qm_test_plain");
  std::ofstream(plain) << "not a program\n";
  chmod(tool.c_str(), 0700);
  const char* saved = std::getenv("PATH");
  const std::string savedPath = saved != nullptr ? saved : "";
  // The tool lies in the current directory too, which a relative entry would name.
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  setenv("PATH", ("::.:/nonexistent:" + savedPath).c_str(), 1);
  EXPECT_EQ(FindProgram("qm_test_tool", {}), "");
  EXPECT_EQ(FindProgram("qm_test_tool", {"/nonexistent", dir.Path()}), tool);
  EXPECT_EQ(FindProgram("qm_test_plain", {dir.Path()}), "");
  EXPECT_EQ(FindProgram("sh", {}).empty(), false);
  setenv("PATH", savedPath.c_str(), 1);
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace qm
