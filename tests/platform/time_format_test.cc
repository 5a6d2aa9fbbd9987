#include "platform/time_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "support/scoped_time_zone.h"

namespace qm {
namespace {

// Hour 24 is midnight of the next day; the zone is followed, and whatever locale the process
// runs under, the log keeps English month names.
TEST(TimeFormatTest, LocalTimeRollsOverFollowsTheZoneAndFormatsInTheCLocale) {
  {
    test::ScopedTimeZone zone("UTC");
    const std::string saved = std::setlocale(LC_TIME, nullptr);
    std::setlocale(LC_TIME, "");
    EXPECT_EQ(FormatLocalTime("%Y %b %d %X", MakeLocalTime(2024, 6, 3, 24, 0, 0)),
              "2024 Jun 04 00:00:00");
    std::setlocale(LC_TIME, saved.c_str());
  }
  test::ScopedTimeZone zone("Asia/Tokyo");
  EXPECT_EQ(MakeLocalTime(2024, 6, 4, 0, 0, 0), 1717426800);
  EXPECT_EQ(FormatLocalTime("%Y %m/%d %X", 1717426800), "2024 06/04 00:00:00");
}

}  // namespace
}  // namespace qm
