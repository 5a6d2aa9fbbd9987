// Decoders that turn 7-bit mail text into code page 932 bytes: base64, quoted-printable, MIME
// encoded words and ISO-2022-JP. A decoded NUL byte cannot be kept in mail text and is dropped.
// Each decoder clears its output first.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Line by line (lines end at CR LF), in groups of four characters; one to three characters left at
// the end of a line are ignored. A character outside the alphabet spoils its group instead of
// being skipped, and a zero byte ends what a group yields ("xx==" yields one byte). Returns 1.
int DecodeBase64(std::string_view source, std::string& destination);

// "=" takes the two characters after it (fewer at the end) and reads them as the C library's
// strtoul reads a hexadecimal number: leading blanks are skipped and reading stops at the first
// other character. A nonzero value gives its low byte; either way the "=" and the two characters
// are gone, so "=3D" gives "=", a soft line break "=" CR LF vanishes, and "=ZZ" gives nothing.
// "_" stays "_". Returns 1.
int DecodeQuotedPrintable(std::string_view source, std::string& output);

// Replaces every "=?charset?B|Q?text?=" by its decoded bytes. ISO-2022-JP words on folded lines
// join without the line break. Returns 1 when the whole source was decoded, 0 when it stopped at a
// malformed word; the output holds what was decoded before it either way.
int DecodeEncodedWords(std::string_view source, std::string& output);

// Converts the JIS X 0208 runs (ESC $ B or ESC $ @ ... ESC ( B or ESC ( J) to Shift_JIS and copies
// everything else. Returns 0 when the source ends inside a run (a lone last byte of a run is
// dropped), else 1; the output holds the conversion either way.
int JisToShiftJis(std::string_view source, std::string& output);

// A header value as the user reads it: its encoded words decoded, then its ISO-2022-JP runs.
std::string DecodeFieldValue(std::string_view value);

}  // namespace qm
