#include "app/log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/time_format.h"
#include "support/scoped_time_zone.h"

namespace qm {
namespace {

namespace fs = std::filesystem;

// 2009-03-05 14:03:27 UTC.
constexpr std::int64_t kFixedTime = 1236261807;
constexpr const char* kFixedStamp = "2009 Mar 05 14:03:27\t";

using test::ScopedTimeZone;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Parameterised tests have a "/" in their names.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    dir = fs::temp_directory_path() /
          ("qm_log_test_" + name + "_" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path LogPath() const { return dir / CLog::kFileName; }
  fs::path OldPath() const { return dir / CLog::kOldFileName; }
  static CLog::Clock Fixed() {
    return [] { return kFixedTime; };
  }

  ScopedTimeZone zone{"UTC"};
  fs::path dir;
};

TEST_F(LogTest, LinesAreStampedEscapedAndWrittenOnlyByAFlush) {
  CLog log(dir, Fixed());
  log.Log("POP : Connection Closed.");
  log.Log("");
  // A peer's text with control bytes cannot start a line or a column of its own; UTF-8 stays.
  log.Log(std::string("MSV : id a\r\n2009 Mar 05 forged\tx\x1b[2J\x7f\0z \xE5\x8F\x97", 43));
  EXPECT_FALSE(fs::exists(LogPath()));
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(LogPath()),
            "2009 Mar 05 14:03:27\tPOP : Connection Closed.\r\n"
            "2009 Mar 05 14:03:27\t\r\n"
            "2009 Mar 05 14:03:27\tMSV : id a\\x0D\\x0A2009 Mar 05 forged\\x09x\\x1B[2J\\x7F"
            "\\x00z \xE5\x8F\x97\r\n");
  EXPECT_EQ(fs::status(LogPath()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(LogTest, StampIsLocalTime) {
  ScopedTimeZone tokyo("Asia/Tokyo");
  CLog log(dir, Fixed());
  log.Log("SRV : x");
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(LogPath()), "2009 Mar 05 23:03:27\tSRV : x\r\n");
}

TEST_F(LogTest, FlushAppendsAndEmptiesTheBuffer) {
  WriteFile(LogPath(), "earlier\r\n");
  CLog log(dir, Fixed());
  log.Log("one");
  ASSERT_TRUE(log.FlushLog());
  log.Log("two");
  ASSERT_TRUE(log.FlushLog());
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(LogPath()),
            std::string("earlier\r\n") + kFixedStamp + "one\r\n" + kFixedStamp + "two\r\n");
}

TEST_F(LogTest, DefaultsAreTheCurrentDirectoryAndTheSystemClock) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir);
  CLog log;
  // time() reads a coarse clock that may still show the previous second when
  // the log's precise clock has already turned, so bracket with the same clock.
  const auto now = [] {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const std::int64_t before = now();
  log.Log("APP : started");
  const std::int64_t after = now();
  const bool flushed = log.FlushLog();
  fs::current_path(previous);
  ASSERT_TRUE(flushed);

  const std::string line = ReadFile(LogPath());
  bool stampMatches = false;
  for (std::int64_t t = before; t <= after; ++t) {
    stampMatches |= line == FormatLocalTime("%Y %b %d %H:%M:%S\t", t) + "APP : started\r\n";
  }
  EXPECT_TRUE(stampMatches) << line;
}

TEST_F(LogTest, FlushOfNothingTouchesNoFile) {
  CLog log(dir, Fixed());
  EXPECT_TRUE(log.FlushLog());
  EXPECT_FALSE(fs::exists(LogPath()));

  // Not even the rotation of a log that is due for it.
  WriteFile(LogPath(), std::string(CLog::kRotateAbove + 100, 'x'));
  EXPECT_TRUE(log.FlushLog());
  EXPECT_FALSE(fs::exists(OldPath()));
  EXPECT_EQ(fs::file_size(LogPath()), CLog::kRotateAbove + 100);
}

struct RotationCase {
  std::uintmax_t size;
  bool oldExists;
  bool rotates;
};

void PrintTo(const RotationCase& c, std::ostream* os) {
  *os << c.size << " bytes" << (c.oldExists ? ", old log present" : "");
}

class LogRotationTest : public LogTest, public ::testing::WithParamInterface<RotationCase> {};

TEST_P(LogRotationTest, RotatesOnlyAPastTheLimitLog) {
  const RotationCase& c = GetParam();
  const std::string existing(c.size, 'e');
  WriteFile(LogPath(), existing);
  if (c.oldExists) WriteFile(OldPath(), "previous old log\r\n");

  CLog log(dir, Fixed());
  log.Log("POP : next");
  ASSERT_TRUE(log.FlushLog());

  const std::string line = std::string(kFixedStamp) + "POP : next\r\n";
  if (c.rotates) {
    EXPECT_TRUE(ReadFile(OldPath()) == existing);
    EXPECT_EQ(ReadFile(LogPath()), line);
  } else {
    EXPECT_TRUE(ReadFile(LogPath()) == existing + line);
    if (c.oldExists) {
      EXPECT_EQ(ReadFile(OldPath()), "previous old log\r\n");
    } else {
      EXPECT_FALSE(fs::exists(OldPath()));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LogRotationTest,
    ::testing::Values(RotationCase{0, false, false}, RotationCase{524288, false, false},
                      RotationCase{524288, true, false}, RotationCase{524289, false, true},
                      RotationCase{524289, true, true}, RotationCase{700000, true, true}),
    [](const ::testing::TestParamInfo<RotationCase>& c) {
      return "Size" + std::to_string(c.param.size) + (c.param.oldExists ? "WithOldLog" : "");
    });

// Lines that cannot be written stay in memory, in order, and reach the file exactly once when it
// can be written again.
TEST_F(LogTest, MissingDirectoryKeepsTheLinesUntilItExists) {
  const fs::path missing = dir / "missing";
  CLog log(missing, Fixed());
  log.Log("one");
  EXPECT_FALSE(log.FlushLog());
  log.Log("two");
  EXPECT_FALSE(log.FlushLog());
  EXPECT_FALSE(fs::exists(missing));

  fs::create_directory(missing);
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(missing / CLog::kFileName),
            std::string(kFixedStamp) + "one\r\n" + kFixedStamp + "two\r\n");
}

TEST_F(LogTest, FileInPlaceOfTheDirectoryKeepsTheLines) {
  const fs::path blocked = dir / "blocked";
  WriteFile(blocked, "not a directory");
  CLog log(blocked, Fixed());
  log.Log("one");
  EXPECT_FALSE(log.FlushLog());
  EXPECT_EQ(ReadFile(blocked), "not a directory");

  fs::remove(blocked);
  fs::create_directory(blocked);
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(blocked / CLog::kFileName), std::string(kFixedStamp) + "one\r\n");
}

TEST_F(LogTest, DirectoryInPlaceOfTheLogKeepsTheLines) {
  fs::create_directory(LogPath());
  CLog log(dir, Fixed());
  log.Log("one");
  EXPECT_FALSE(log.FlushLog());

  fs::remove(LogPath());
  ASSERT_TRUE(log.FlushLog());
  EXPECT_EQ(ReadFile(LogPath()), std::string(kFixedStamp) + "one\r\n");
}

// Lowers the file size limit of the process for one test, so that a write stops part-way as on
// a full disk, and puts the limit back.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    // The write must fail with an error rather than end the process.
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
  }
  ~ScopedFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = nullptr;
  bool ok_ = false;
};

TEST_F(LogTest, WriteThatStopsPartWayIsUndoneAndRepeatedWhole) {
  const std::string existing(1000, 'e');
  WriteFile(LogPath(), existing);
  CLog log(dir, Fixed());
  for (int i = 0; i < 200; ++i) log.Log("POP : line " + std::to_string(i));
  std::string expected = existing;
  for (int i = 0; i < 200; ++i)
    expected += kFixedStamp + ("POP : line " + std::to_string(i)) + "\r\n";

  {
    ScopedFileSizeLimit limit(existing.size() + 100);
    ASSERT_TRUE(limit.ok());
    EXPECT_FALSE(log.FlushLog());
  }
  EXPECT_EQ(fs::file_size(LogPath()), existing.size());

  ASSERT_TRUE(log.FlushLog());
  EXPECT_TRUE(ReadFile(LogPath()) == expected);
}

}  // namespace
}  // namespace qm
