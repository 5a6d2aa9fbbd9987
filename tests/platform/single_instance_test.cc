#include "platform/single_instance.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "support/scratch_directory.h"

namespace qm {
namespace {

TEST(SingleInstanceTest, OneHolderPerDirectoryUntilReleasedOrDestroyed) {
  ScratchDirectory dir, otherDir;
  CSingleInstance second;
  {
    CSingleInstance first;
    ASSERT_TRUE(first.Acquire(dir.Path()));
    EXPECT_FALSE(second.Acquire(dir.Path()));
    EXPECT_EQ(second.LastError(), EWOULDBLOCK);
    EXPECT_FALSE(second.IsHeld());
    EXPECT_TRUE(second.Acquire(otherDir.Path()));
  }
  EXPECT_TRUE(second.Acquire(dir.Path())) << "moving the guard releases the other directory";
  CSingleInstance third;
  EXPECT_TRUE(third.Acquire(otherDir.Path()));
  EXPECT_FALSE(third.Acquire(dir.File("missing")));
  EXPECT_EQ(third.LastError(), ENOENT);
}

// Another process holds the directory until it is killed; the system then frees the lock
// without anyone cleaning up.
TEST(SingleInstanceTest, AKilledHolderLeavesTheDirectoryFree) {
  ScratchDirectory dir;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    CSingleInstance guard;
    const char held = guard.Acquire(dir.Path()) ? '1' : '0';
    if (write(ready[1], &held, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  close(ready[0]);
  ASSERT_EQ(held, '1');
  CSingleInstance guard;
  EXPECT_FALSE(guard.Acquire(dir.Path()));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_TRUE(guard.Acquire(dir.Path()));
}

}  // namespace
}  // namespace qm
