// One settings object shared by the threads of the program: the window saves while a retrieval
// thread reads its time-outs.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/profile.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

TEST(ProfileConcurrencyTest, ConcurrentWritersLoseNoKey) {
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  const auto key = [](int t, int i) { return "k" + std::to_string(t) + "_" + std::to_string(i); };
  std::vector<int> misreads(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 15; ++i) {
        misreads[t] += !profile.WriteInt("S" + std::to_string(t % 2), key(t, i), i);
        misreads[t] += profile.GetInt("S" + std::to_string(t % 2), key(t, i), -1) != i;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(misreads, std::vector<int>(4, 0));
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 15; ++i)
      EXPECT_EQ(profile.GetInt("S" + std::to_string(t % 2), key(t, i), -1), i);
  }
}

}  // namespace
}  // namespace qm
