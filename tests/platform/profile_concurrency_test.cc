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
  constexpr int kThreads = 4;
  constexpr int kKeys = 15;
  std::vector<int> misreads(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string section = "Thread" + std::to_string(t % 2);
      for (int i = 0; i < kKeys; ++i) {
        const std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
        if (!profile.WriteInt(section, key, i)) ++misreads[t];
        if (profile.GetInt(section, key, -1) != i) ++misreads[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(misreads[t], 0) << "thread " << t;
    for (int i = 0; i < kKeys; ++i) {
      EXPECT_EQ(profile.GetInt("Thread" + std::to_string(t % 2),
                               "k" + std::to_string(t) + "_" + std::to_string(i), -1),
                i);
    }
  }
}

}  // namespace
}  // namespace qm
