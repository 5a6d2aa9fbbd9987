#include "platform/time_format.h"

#include <locale.h>
#include <time.h>

#include <mutex>

namespace qm {

namespace {
// The C library converts local time under a lock of its own that thread checkers cannot see;
// one of ours around the conversions keeps them provably apart.
std::mutex& ZoneLock() {
  static std::mutex lock;
  return lock;
}
}  // namespace

std::int64_t MakeLocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::lock_guard guard(ZoneLock());
  return static_cast<std::int64_t>(mktime(&tm));
}

bool ToLocalTime(std::int64_t seconds, std::tm& out) {
  const time_t t = static_cast<time_t>(seconds);
  std::lock_guard guard(ZoneLock());
  return localtime_r(&t, &out) != nullptr;
}

std::string FormatTime(const char* format, const std::tm& time) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  char buffer[256];
  const std::size_t n = strftime_l(buffer, sizeof buffer, format, &time, cLocale);
  return std::string(buffer, n);
}

std::string FormatLocalTime(const char* format, std::int64_t seconds) {
  std::tm tm{};
  if (!ToLocalTime(seconds, tm)) return {};
  return FormatTime(format, tm);
}

}  // namespace qm
