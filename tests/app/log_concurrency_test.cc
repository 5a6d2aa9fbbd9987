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

// Threads log while another flushes. Every line must reach the file once and whole, each
// thread's lines in the order it logged them, and the stamps in file order must be the clock's
// readings in the order it was read: the clock is a plain counter, so reading it outside the
// lock would also show up as a data race under ThreadSanitizer.
TEST(LogConcurrencyTest, LinesFromManyThreadsAreWholeAndInLockOrder) {
  test::ScopedTimeZone zone("UTC");
  ScratchDirectory dir;

  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  constexpr std::int64_t kStart = 1236261807;
  std::int64_t reading = kStart;
  CLog log(dir.Path(), [&reading] { return reading++; });

  std::atomic<int> running{kThreads};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, &running, t] {
      for (int i = 0; i < kLines; ++i) {
        log.Log("T" + std::to_string(t) + " line " + std::to_string(i));
      }
      --running;
    });
  }
  int failedFlushes = 0;
  std::thread flusher([&] {
    while (running > 0) failedFlushes += log.FlushLog() ? 0 : 1;
  });
  for (auto& thread : threads) thread.join();
  flusher.join();
  EXPECT_EQ(failedFlushes, 0);
  ASSERT_TRUE(log.FlushLog());

  const std::string file = test::ReadFileBytes(dir.File(CLog::kFileName));

  std::vector<int> next(kThreads, 0);
  std::size_t at = 0;
  for (int k = 0; k < kThreads * kLines; ++k) {
    const std::size_t end = file.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "line " << k;
    const std::string line = file.substr(at, end - at);
    at = end + 2;

    const std::string stamp = FormatLocalTime("%Y %b %d %H:%M:%S\t", kStart + k);
    ASSERT_EQ(line.substr(0, stamp.size()), stamp) << "line " << k;
    const std::string text = line.substr(stamp.size());
    ASSERT_TRUE(text.size() > 2 && text[0] == 'T') << line;
    const int t = text[1] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    ASSERT_EQ(text, "T" + std::to_string(t) + " line " + std::to_string(next[t])) << "line " << k;
    ++next[t];
  }
  EXPECT_EQ(at, file.size());
  EXPECT_EQ(reading, kStart + kThreads * kLines);
}

}  // namespace
}  // namespace qm
