// Conversion from code page 932 (Shift_JIS with the Microsoft extensions), in which mail text is
// kept, to UTF-8, which the display, the log and JSON output use.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Every byte or byte pair that has no character in code page 932 becomes U+FFFD.
std::string Cp932ToUtf8(std::string_view text);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

}  // namespace qm
