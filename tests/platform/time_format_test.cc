#include "platform/time_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/scoped_time_zone.h"

namespace qm {
namespace {

using test::ScopedTimeZone;

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
