// Decoders that turn 7-bit mail text into UTF-8: base64, quoted-printable, MIME encoded words,
// ISO-2022-JP and the charsets the mail declares. A decoded NUL byte cannot be kept in mail text
// and is dropped. Each decoder clears its output first.
#pragma once

#include <string>
#include <string_view>

namespace qm {

// Line by line (lines end at CR LF), in groups of four characters; one to three characters left at
// the end of a line are ignored. A character outside the alphabet spoils its group instead of
// being skipped, and a zero byte ends what a group yields ("xx==" yields one byte). Returns 1.
int DecodeBase64(std::string_view source, std::string& destination);

// The value 0 to 63 of a base64 digit; -1 for any other character, "=" included.
int Base64DigitValue(char c);

// "=" takes the two characters after it (fewer at the end) and reads them as the C library's
// strtoul reads a hexadecimal number: leading blanks are skipped and reading stops at the first
// other character. A nonzero value gives its low byte; either way the "=" and the two characters
// are gone, so "=3D" gives "=", a soft line break "=" CR LF vanishes, and "=ZZ" gives nothing.
// "_" stays "_" ("Q" encoded words make it a space before they get here). Returns 1.
int DecodeQuotedPrintable(std::string_view source, std::string& output);

// Decodes a header value (RFC 2047): every "=?charset?B|Q?text?=" becomes its text in UTF-8 ("_"
// is a space in "Q" words), and blanks and line breaks between two adjacent words go. Adjacent
// words of one charset are converted together, so a character split between them survives. An
// "=?" that begins no well-formed word (no closing "?=", an encoding other than B or Q) stays as
// it is written. Text outside the words is converted as bytes of no declared charset
// (JisToUtf8). ISO-2022-JP words also take a line break and one blank right after them, as
// Japanese mailers fold. Returns 1, or 0 when some "=?" was left as written.
int DecodeEncodedWords(std::string_view source, std::string& output);

// Converts the JIS X 0208 runs (ESC $ B or ESC $ @ ... ESC ( B or ESC ( J) to Shift_JIS and copies
// everything else. Returns 0 when the source ends inside a run (a lone last byte of a run is
// dropped), else 1; the output holds the conversion either way.
int JisToShiftJis(std::string_view source, std::string& output);

// The same conversion to UTF-8: each pair of a run through the Shift_JIS arithmetic above and then
// code page 932, so that row 13 gives the circled digits; a pair without a character, or with a
// byte outside 0x21-0x7E, becomes one U+FFFD. Text outside the runs is taken as UTF-8 when it is
// well-formed UTF-8, else as code page 932. Returns as JisToShiftJis.
int JisToUtf8(std::string_view source, std::string& output);

// Decoded bytes of a declared charset in UTF-8. ISO-2022-JP, US-ASCII, no charset and charsets
// the C library does not know go through JisToUtf8; Shift_JIS, CP932 and Windows-31J through code
// page 932; any other charset through the C library, each byte that does not convert becoming
// U+FFFD.
std::string TextToUtf8(std::string_view charset, std::string_view bytes);

// The same in place; text that needs no conversion is left alone.
void ConvertToUtf8(std::string_view charset, std::string& text);

// The charset parameter of a Content-Type value, unquoted; empty when there is none.
std::string ContentTypeCharset(std::string_view value);

// A header value as the user reads it, in UTF-8 (DecodeEncodedWords).
std::string DecodeFieldValue(std::string_view value);

}  // namespace qm
