#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/pattern.h"

namespace qm {
namespace {

// A process-wide handle is shared by copying it: the copies share the compiled form and keep
// their own positions, so threads can match at the same time.
TEST(PatternConcurrencyTest, CopiesOfOneHandleMatchInParallel) {
  BRegexp shared;
  BMatch("/(\\d+)-(\\d+)/", nullptr, nullptr, shared);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t, own = shared]() mutable {
      for (int i = 0; i < 2000; ++i) {
        const std::string subject = "x" + std::to_string(t) + "-" + std::to_string(i) + "y";
        failures[t] +=
            BMatch("/(\\d+)-(\\d+)/", subject.data(), subject.data() + subject.size(), own) != 1 ||
            own.Group(1) != std::to_string(t) || own.Group(2) != std::to_string(i);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace qm
