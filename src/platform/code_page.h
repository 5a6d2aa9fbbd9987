// Conversions of mail text to UTF-8, the one form in which the program keeps decoded text: from a
// declared charset (through the C library's converters), from code page 932 (Shift_JIS with the
// Microsoft extensions), and from bytes whose charset nobody declared.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm {

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// Every byte or byte pair that has no character in code page 932 becomes U+FFFD.
std::string Cp932ToUtf8(std::string_view text);

// Converts text in the MIME charset `charset` (any case; "UTF-8", "EUC-JP", "ISO-8859-2",
// "windows-1251", "KOI8-R", "GBK", "Big5", "EUC-KR", ...) to UTF-8 into `output`. A byte that does
// not convert becomes U+FFFD and the conversion goes on with the next byte; a decoded NUL character
// is dropped. False, and `output` untouched, when the C library has no converter of that name.
bool CharsetToUtf8(std::string_view charset, std::string_view text, std::string& output);

// Bytes of no declared charset: taken as UTF-8 when they are well-formed UTF-8, else as code page
// 932.
std::string UndeclaredToUtf8(std::string_view text);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(std::string_view text);

// Well-formed UTF-8 as it is; every maximal part of an ill-formed sequence becomes one U+FFFD.
std::string RepairUtf8(std::string_view text);

// The longest prefix of at most `limit` bytes of UTF-8 text that ends on a character boundary.
std::string CutUtf8(std::string_view text, std::size_t limit);

}  // namespace qm
