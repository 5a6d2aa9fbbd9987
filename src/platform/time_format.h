// Calendar time in the machine's local zone, formatted in the C locale whatever the user's locale
// is, so that month names are English and "%X" is "%H:%M:%S".
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace qm {

// Seconds since 1970 of a local calendar time. Fields out of range roll over as the C library
// normalises them; daylight saving is left for the library to decide.
std::int64_t MakeLocalTime(int year, int month, int day, int hour, int minute, int second);

// Breaks seconds since 1970 into local calendar time. False when the value cannot be represented.
bool ToLocalTime(std::int64_t seconds, std::tm& out);

// strftime in the C locale.
std::string FormatTime(const char* format, const std::tm& time);

// FormatTime of the local time of `seconds`; empty when the value cannot be represented.
std::string FormatLocalTime(const char* format, std::int64_t seconds);

}  // namespace qm
