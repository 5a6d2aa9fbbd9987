#include "app/log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>

#include "support/file_bytes.h"
#include "support/scoped_time_zone.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

// 2009-03-05 14:03:27 UTC.
constexpr const char* kStamp = "2009 Mar 05 14:03:27\t";

class LogTest : public ::testing::Test {
 protected:
  static CLog::Clock Fixed() {
    return [] { return std::int64_t{1236261807}; };
  }
  std::string LogPath() const { return dir.File(CLog::kFileName); }
  std::string OldPath() const { return dir.File(CLog::kOldFileName); }

  test::ScopedTimeZone zone{"UTC"};
  ScratchDirectory dir;
};

TEST_F(LogTest, LinesAreStampedInLocalTimeEscapedAndAppendedOnlyByAFlush) {
  WriteFileBytes(LogPath(), "earlier\r\n");
  CLog log(dir.Path(), Fixed());
  EXPECT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFileBytes(LogPath()), "earlier\r\n");
  log.Log("POP : Connection Closed.");
  log.Log("");
  // A peer's text with control bytes cannot start a line or a column of its own; UTF-8 stays.
  log.Log(std::string("MSV : id a\r\n2009 Mar 05 forged\tx\x1b[2J\x7f\0z \xE5\x8F\x97", 43));
  EXPECT_EQ(ReadFileBytes(LogPath()), "earlier\r\n");
  ASSERT_TRUE(log.FlushLog());
  ASSERT_TRUE(log.FlushLog());
  {
    test::ScopedTimeZone tokyo("Asia/Tokyo");
    log.Log("SRV : x");
    ASSERT_TRUE(log.FlushLog());
  }
  EXPECT_EQ(ReadFileBytes(LogPath()),
            std::string("earlier\r\n") + kStamp + "POP : Connection Closed.\r\n" + kStamp + "\r\n" +
                kStamp +
                "MSV : id a\\x0D\\x0A2009 Mar 05 forged\\x09x\\x1B[2J\\x7F\\x00z \xE5\x8F\x97\r\n"
                "2009 Mar 05 23:03:27\tSRV : x\r\n");
}

// A log past 512 KiB is renamed to the old log (replacing it) before the next lines are written;
// a flush with nothing to write touches no file.
TEST_F(LogTest, RotatesOnlyALogPastTheLimitAndOnlyWhenItWrites) {
  const struct {
    std::uintmax_t size;
    bool oldExists, rotates;
  } cases[] = {{0, false, false},     {524288, false, false}, {524288, true, false},
               {524289, false, true}, {524289, true, true},   {700000, true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.oldExists ? " with old log" : ""));
    const std::string existing(c.size, 'e');
    WriteFileBytes(LogPath(), existing);
    fs::remove(OldPath());
    if (c.oldExists) WriteFileBytes(OldPath(), "previous old log\r\n");
    CLog log(dir.Path(), Fixed());
    EXPECT_TRUE(log.FlushLog());
    EXPECT_EQ(fs::file_size(LogPath()), c.size);
    log.Log("POP : next");
    ASSERT_TRUE(log.FlushLog());
    const std::string line = std::string(kStamp) + "POP : next\r\n";
    EXPECT_TRUE(ReadFileBytes(LogPath()) == (c.rotates ? line : existing + line));
    EXPECT_TRUE(ReadFileBytes(OldPath()) == (c.rotates     ? existing
                                             : c.oldExists ? "previous old log\r\n"
                                                           : ""));
  }
}

// Lines that cannot be written stay in memory, in order, and reach the file exactly once when it
// can be written again: a missing directory, a file in its place, a directory in the log's place.
TEST_F(LogTest, LinesThatCannotBeWrittenAreKeptUntilTheyCanBe) {
  for (int obstacle = 0; obstacle < 3; ++obstacle) {
    SCOPED_TRACE(obstacle);
    const std::string where = dir.File("d" + std::to_string(obstacle));
    const std::string file = where + "/" + CLog::kFileName;
    if (obstacle == 1) WriteFileBytes(where, "not a directory");
    if (obstacle == 2) fs::create_directories(file);
    CLog log(where, Fixed());
    log.Log("one");
    EXPECT_FALSE(log.FlushLog());
    log.Log("two");
    EXPECT_FALSE(log.FlushLog());
    EXPECT_EQ(obstacle != 1 || ReadFileBytes(where) == "not a directory", true);
    fs::remove_all(where);
    fs::create_directory(where);
    ASSERT_TRUE(log.FlushLog());
    EXPECT_EQ(ReadFileBytes(file), std::string(kStamp) + "one\r\n" + kStamp + "two\r\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
}

// A write that stops part-way, as on a full disk (a lowered file size limit here), is undone and
// repeated whole.
TEST_F(LogTest, WriteThatStopsPartWayIsUndoneAndRepeatedWhole) {
  const std::string existing(1000, 'e');
  WriteFileBytes(LogPath(), existing);
  CLog log(dir.Path(), Fixed());
  std::string expected = existing;
  for (int i = 0; i < 200; ++i) {
    log.Log("POP : line " + std::to_string(i));
    expected += kStamp + ("POP : line " + std::to_string(i)) + "\r\n";
  }
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  // The write must fail with an error rather than end the process.
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lowered = saved;
  lowered.rlim_cur = existing.size() + 100;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
  const bool flushed = log.FlushLog();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(flushed);
  EXPECT_EQ(fs::file_size(LogPath()), existing.size());
  ASSERT_TRUE(log.FlushLog());
  EXPECT_TRUE(ReadFileBytes(LogPath()) == expected);
}

}  // namespace
}  // namespace qm
