// Reading the numbers that commands and settings fields take as text.
#pragma once

#include <cstdint>
#include <string_view>

namespace qm {

// A decimal number of digits only (no sign, no blanks) that does not exceed `max`.
bool ParseDecimal(std::string_view text, std::uint64_t max, std::uint64_t& value);

}  // namespace qm
