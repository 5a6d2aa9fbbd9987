#include "platform/time_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

namespace qm {
namespace {

// Sets TZ for one test and puts the old value back.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, hadOld_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    hadOld_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

TEST(TimeFormatTest, LocalTimeRollsOverAndFormatsInTheCLocale) {
  ScopedTimeZone zone("UTC");
  // Hour 24 is midnight of the next day.
  const std::int64_t t = MakeLocalTime(2024, 6, 3, 24, 0, 0);
  EXPECT_EQ(t, 1717459200);
  EXPECT_EQ(FormatLocalTime("%Y %m/%d %X", t), "2024 06/04 00:00:00");
  EXPECT_EQ(FormatLocalTime("%Y %b %d %H:%M:%S", t), "2024 Jun 04 00:00:00");
}

TEST(TimeFormatTest, FollowsTheZone) {
  ScopedTimeZone zone("Asia/Tokyo");
  EXPECT_EQ(MakeLocalTime(2024, 6, 4, 0, 0, 0), 1717426800);
  EXPECT_EQ(FormatLocalTime("%Y %m/%d %X", 1717426800), "2024 06/04 00:00:00");
}

TEST(TimeFormatTest, UserLocaleDoesNotChangeMonthNames) {
  ScopedTimeZone zone("UTC");
  // Whatever locale the process runs under, the log keeps English month names.
  const char* previous = std::setlocale(LC_TIME, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_TIME, "");
  EXPECT_EQ(FormatLocalTime("%b", 0), "Jan");
  std::setlocale(LC_TIME, saved.c_str());
}

}  // namespace
}  // namespace qm
