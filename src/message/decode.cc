#include "message/decode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qm {

namespace {

constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;

constexpr std::array<std::uint32_t, 256> MakeBase64Table() {
  std::array<std::uint32_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<std::uint32_t>(i);
    table['a' + i] = static_cast<std::uint32_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<std::uint32_t>(52 + i);
  table['+'] = 62;
  table['/'] = 63;
  table['='] = 0;
  return table;
}

constexpr std::array<std::uint32_t, 256> kBase64 = MakeBase64Table();

// Appends the bytes of one group up to its first zero byte; returns the new write position.
char* DecodeGroup(const unsigned char* in, char* out) {
  const std::uint32_t v =
      (kBase64[in[0]] << 18) | (kBase64[in[1]] << 12) | (kBase64[in[2]] << 6) | kBase64[in[3]];
  const char bytes[3] = {static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                         static_cast<char>(v)};
  for (char b : bytes) {
    if (b == 0) break;
    *out++ = b;
  }
  return out;
}

void DecodeBase64Line(const unsigned char* line, std::size_t length, char*& out) {
  for (std::size_t i = 0; i + 4 <= length; i += 4) out = DecodeGroup(line + i, out);
}

bool IsAsciiLower(char c) { return c >= 'a' && c <= 'z'; }

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (IsAsciiLower(c)) c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool StartsWith(std::string_view s, std::size_t pos, char a, char b, char c) {
  return pos + 2 < s.size() && s[pos] == a && s[pos + 1] == b && s[pos + 2] == c;
}

}  // namespace

int DecodeBase64(std::string_view source, std::string& destination) {
  destination.clear();
  destination.resize(source.size() / 4 * 3 + 3);
  char* const start = destination.data();
  char* out = start;
  const auto* p = reinterpret_cast<const unsigned char*>(source.data());
  const auto* const end = p + source.size();
  while (p < end) {
    const auto* lineEnd = p;
    while (true) {
      lineEnd = static_cast<const unsigned char*>(
          std::memchr(lineEnd, '\r', static_cast<std::size_t>(end - lineEnd)));
      if (lineEnd == nullptr || (lineEnd + 1 < end && lineEnd[1] == '\n')) break;
      ++lineEnd;
    }
    if (lineEnd == nullptr) {
      DecodeBase64Line(p, static_cast<std::size_t>(end - p), out);
      break;
    }
    DecodeBase64Line(p, static_cast<std::size_t>(lineEnd - p), out);
    p = lineEnd + 2;
  }
  destination.resize(static_cast<std::size_t>(out - start));
  return 1;
}

int DecodeQuotedPrintable(std::string_view source, std::string& output) {
  output.clear();
  output.reserve(source.size());
  std::size_t pos = 0;
  while (pos < source.size()) {
    const std::size_t eq = source.find('=', pos);
    if (eq == std::string_view::npos) {
      output.append(source.substr(pos));
      break;
    }
    output.append(source.substr(pos, eq - pos));
    // The C library's conversion, as mail software has always read these escapes: it skips
    // leading blanks and stops at the first character that is not a hex digit.
    char digits[3] = {0, 0, 0};
    const std::size_t taken = std::min<std::size_t>(2, source.size() - eq - 1);
    std::memcpy(digits, source.data() + eq + 1, taken);
    const unsigned long value = std::strtoul(digits, nullptr, 16);
    const char byte = static_cast<char>(value & 0xFF);
    if (value != 0 && byte != 0) output.push_back(byte);
    pos = eq + 1 + taken;
  }
  return 1;
}

int DecodeEncodedWords(std::string_view source, std::string& output) {
  output.clear();
  std::size_t pos = 0;
  std::string decoded;
  while (true) {
    const std::size_t start = source.find("=?", pos);
    if (start == std::string_view::npos) {
      output.append(source.substr(pos));
      return 1;
    }
    output.append(source.substr(pos, start - pos));

    const std::size_t q1 = source.find('?', start + 2);
    if (q1 == std::string_view::npos) return 0;
    const std::size_t q2 = source.find('?', q1 + 1);
    if (q2 == std::string_view::npos) return 0;
    const std::size_t q3 = source.find('?', q2 + 1);
    if (q3 == std::string_view::npos) return 0;
    const std::string charset = UpperAscii(source.substr(start + 2, q1 - start - 2));
    const std::string_view encoding = source.substr(q1 + 1, q2 - q1 - 1);
    const std::string_view encoded = source.substr(q2 + 1, q3 - q2 - 1);

    const char kind = encoding.empty() ? '\0' : UpperAscii(encoding.substr(0, 1))[0];
    if (kind == 'B') {
      DecodeBase64(encoded, decoded);
    } else if (kind == 'Q') {
      DecodeQuotedPrintable(encoded, decoded);
    } else {
      return 0;
    }
    output.append(decoded);

    if (q3 + 1 >= source.size() || source[q3 + 1] != '=') return 0;
    pos = q3 + 2;
    // Japanese mailers fold long subjects into one encoded word per line; the words join.
    if (charset == "ISO-2022-JP" && pos + 2 < source.size() && source[pos] == '\r' &&
        source[pos + 1] == '\n' && (source[pos + 2] == ' ' || source[pos + 2] == '\t')) {
      pos += 3;
    }
  }
}

int JisToShiftJis(std::string_view source, std::string& output) {
  constexpr char kEsc = '\x1B';
  output.clear();
  output.reserve(source.size());
  std::size_t pos = 0;
  const std::size_t n = source.size();
  while (pos < n) {
    // Outside a run: copy up to the next escape that opens one.
    const std::size_t esc = source.find(kEsc, pos);
    if (esc == std::string_view::npos) {
      output.append(source.substr(pos));
      return 1;
    }
    output.append(source.substr(pos, esc - pos));
    pos = esc;
    if (!StartsWith(source, pos, kEsc, '$', 'B') && !StartsWith(source, pos, kEsc, '$', '@')) {
      output.push_back(kEsc);
      ++pos;
      continue;
    }
    pos += 3;

    // Inside a run: pairs up to the escape that closes it.
    while (true) {
      if (StartsWith(source, pos, kEsc, '(', 'B') || StartsWith(source, pos, kEsc, '(', 'J')) {
        pos += 3;
        break;
      }
      if (pos + 1 >= n) return 0;
      auto c1 = static_cast<unsigned char>(source[pos]);
      auto c2 = static_cast<unsigned char>(source[pos + 1]);
      pos += 2;
      if (c1 & 1) {
        c1 = static_cast<unsigned char>(((c1 + 1) >> 1) + 0x70);
        c2 = static_cast<unsigned char>(c2 + 0x1F);
      } else {
        c1 = static_cast<unsigned char>((c1 >> 1) + 0x70);
        c2 = static_cast<unsigned char>(c2 + 0x7D);
      }
      if (c1 >= 0xA0) c1 = static_cast<unsigned char>(c1 + 0x40);
      if (c2 >= 0x7F) c2 = static_cast<unsigned char>(c2 + 1);
      if (c1 != 0) output.push_back(static_cast<char>(c1));
      if (c2 != 0) output.push_back(static_cast<char>(c2));
    }
  }
  return 1;
}

std::string DecodeFieldValue(std::string_view value) {
  std::string words;
  DecodeEncodedWords(value, words);
  std::string text;
  JisToShiftJis(words, text);
  return text;
}

}  // namespace qm
