#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "app/log.h"
#include "platform/time_format.h"
#include "support/file_bytes.h"
#include "support/scoped_time_zone.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

// Threads log while another flushes. Every line reaches the file once and whole, each thread's
// lines in the order it logged them, and the stamps in file order are the clock's readings in
// the order it was read: the clock is a plain counter, so reading it outside the lock would also
// show up as a data race under ThreadSanitizer.
TEST(LogConcurrencyTest, LinesFromManyThreadsAreWholeAndInLockOrder) {
  test::ScopedTimeZone zone("UTC");
  ScratchDirectory dir;
  constexpr int kThreads = 4, kLines = 500;
  constexpr std::int64_t kStart = 1236261807;
  std::int64_t reading = kStart;
  CLog log(dir.Path(), [&reading] { return reading++; });
  std::atomic<int> running{kThreads}, failedFlushes{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &running, t] {
      for (int i = 0; i < kLines; ++i)
        log.Log("T" + std::to_string(t) + " line " + std::to_string(i));
      --running;
    });
  }
  std::thread flusher([&] {
    while (running > 0) failedFlushes += log.FlushLog() ? 0 : 1;
  });
  for (auto& thread : threads) thread.join();
  flusher.join();
  ASSERT_TRUE(failedFlushes == 0 && log.FlushLog());
  const std::string file = test::ReadFileBytes(dir.File(CLog::kFileName));
  std::vector<int> next(kThreads, 0);
  std::string expected;
  for (std::size_t k = 0, at = 0; k < kThreads * kLines && at < file.size(); ++k) {
    const int t = file[file.find('\t', at) + 2] - '0';  // the thread that wrote the k-th line
    if (t < 0 || t >= kThreads) break;
    expected += FormatLocalTime("%Y %b %d %H:%M:%S\t", kStart + static_cast<std::int64_t>(k)) +
                "T" + std::to_string(t) + " line " + std::to_string(next[t]++) + "\r\n";
    at = file.find("\r\n", at) + 2;
  }
  EXPECT_EQ(file, expected);
  EXPECT_EQ(reading, kStart + kThreads * kLines);
}

}  // namespace
}  // namespace qm
