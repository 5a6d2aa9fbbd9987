#include "message/decode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/code_page.h"

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

}  // namespace

int Base64DigitValue(char c) {
  const std::uint32_t value = kBase64[static_cast<unsigned char>(c)];
  return c == '=' || value == kInvalid ? -1 : static_cast<int>(value);
}

namespace {

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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsLinearWhiteSpace(char c) { return IsBlank(c) || c == '\r' || c == '\n'; }

std::string_view TrimLinearWhiteSpace(std::string_view s) {
  while (!s.empty() && IsLinearWhiteSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsLinearWhiteSpace(s.back())) s.remove_suffix(1);
  return s;
}

constexpr char kEsc = '\x1B';

// Walks ISO-2022-JP text: `text` gets each stretch outside the JIS X 0208 runs (unknown escapes
// included), `pair` each byte pair inside one. 0 when the source ends inside a run.
template <typename Text, typename Pair>
int WalkJis(std::string_view source, Text text, Pair pair) {
  const std::size_t n = source.size();
  std::size_t pos = 0;
  std::size_t stretch = 0;
  while (true) {
    const std::size_t esc = source.find(kEsc, pos);
    if (esc == std::string_view::npos) {
      text(source.substr(stretch));
      return 1;
    }
    if (!StartsWith(source, esc, kEsc, '$', 'B') && !StartsWith(source, esc, kEsc, '$', '@')) {
      pos = esc + 1;
      continue;
    }
    text(source.substr(stretch, esc - stretch));
    pos = esc + 3;
    // Inside a run: pairs up to the escape that closes it.
    while (!StartsWith(source, pos, kEsc, '(', 'B') && !StartsWith(source, pos, kEsc, '(', 'J')) {
      if (pos + 1 >= n) return 0;
      pair(static_cast<unsigned char>(source[pos]), static_cast<unsigned char>(source[pos + 1]));
      pos += 2;
    }
    pos += 3;
    stretch = pos;
  }
}

// The Shift_JIS bytes of a JIS X 0208 pair by the standard arithmetic.
void JisPairToShiftJis(unsigned char& c1, unsigned char& c2) {
  if (c1 & 1) {
    c1 = static_cast<unsigned char>(((c1 + 1) >> 1) + 0x70);
    c2 = static_cast<unsigned char>(c2 + 0x1F);
  } else {
    c1 = static_cast<unsigned char>((c1 >> 1) + 0x70);
    c2 = static_cast<unsigned char>(c2 + 0x7D);
  }
  if (c1 >= 0xA0) c1 = static_cast<unsigned char>(c1 + 0x40);
  if (c2 >= 0x7F) c2 = static_cast<unsigned char>(c2 + 1);
}

// The UTF-8 of each of the 94 x 94 pairs, through Shift_JIS and code page 932; empty for a pair
// without a character.
class JisTable {
 public:
  static const JisTable& Instance() {
    static const JisTable table;
    return table;
  }
  std::string_view Character(unsigned char c1, unsigned char c2) const {
    const Cell& cell = cells[static_cast<std::size_t>((c1 - 0x21) * 94 + (c2 - 0x21))];
    return {cell.bytes.data(), cell.length};
  }

 private:
  struct Cell {
    std::array<char, 4> bytes{};
    std::size_t length = 0;
  };
  JisTable() {
    for (int row = 0x21; row <= 0x7E; ++row) {
      for (int column = 0x21; column <= 0x7E; ++column) {
        auto c1 = static_cast<unsigned char>(row);
        auto c2 = static_cast<unsigned char>(column);
        JisPairToShiftJis(c1, c2);
        const char sjis[2] = {static_cast<char>(c1), static_cast<char>(c2)};
        const std::string utf8 = Cp932ToUtf8(std::string_view(sjis, 2));
        Cell& cell = cells[static_cast<std::size_t>((row - 0x21) * 94 + (column - 0x21))];
        if (utf8.size() <= cell.bytes.size() &&
            utf8.find(kReplacementCharacter) == std::string::npos) {
          std::copy(utf8.begin(), utf8.end(), cell.bytes.begin());
          cell.length = utf8.size();
        }
      }
    }
  }
  std::array<Cell, 94 * 94> cells;
};

bool IsJisByte(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

// Charset names whose text is code page 932 or a part of it.
bool IsShiftJisName(std::string_view name) {
  for (const std::string_view known : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "X-SJIS", "CP932", "MS932",
                                       "WINDOWS-31J", "MS_KANJI", "CSSHIFTJIS"}) {
    if (name == known) return true;
  }
  return false;
}

// Names under which text is taken as undeclared: ISO-2022-JP goes through our own table, and
// mail marked US-ASCII often holds 8-bit text all the same.
bool IsUndeclaredName(std::string_view name) {
  for (const std::string_view known :
       {"", "ISO-2022-JP", "US-ASCII", "ASCII", "US", "ANSI_X3.4-1968", "CSASCII"}) {
    if (name == known) return true;
  }
  return false;
}

// One "=?charset?encoding?text?=" at `start`: its charset (upper-cased, without an RFC 2231
// language), its decoded bytes and the position after it. False when it is not well-formed.
struct EncodedWord {
  std::string charset;
  std::string bytes;
  std::size_t end = 0;
};

bool ReadEncodedWord(std::string_view source, std::size_t start, EncodedWord& word) {
  const std::size_t q1 = source.find('?', start + 2);
  if (q1 == std::string_view::npos) return false;
  const std::size_t q2 = source.find('?', q1 + 1);
  if (q2 == std::string_view::npos) return false;
  const std::size_t q3 = source.find('?', q2 + 1);
  if (q3 == std::string_view::npos || q3 + 1 >= source.size() || source[q3 + 1] != '=') {
    return false;
  }
  std::string_view charset = source.substr(start + 2, q1 - start - 2);
  const std::string_view encoding = source.substr(q1 + 1, q2 - q1 - 1);
  const std::string_view encoded = source.substr(q2 + 1, q3 - q2 - 1);
  if (charset.empty() || encoding.empty() ||
      std::any_of(charset.begin(), charset.end(), IsLinearWhiteSpace)) {
    return false;
  }
  charset = charset.substr(0, charset.find('*'));
  // Only the first letter of the encoding counts, as it always has.
  const char kind = UpperAscii(encoding.substr(0, 1))[0];
  if (kind == 'B') {
    DecodeBase64(encoded, word.bytes);
  } else if (kind == 'Q') {
    std::string text(encoded);
    std::replace(text.begin(), text.end(), '_', ' ');
    DecodeQuotedPrintable(text, word.bytes);
  } else {
    return false;
  }
  word.charset = UpperAscii(charset);
  word.end = q3 + 2;
  return true;
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
  int result = 1;
  std::string text;
  // Decoded bytes of the last words, all of one charset, not converted yet.
  std::string pendingCharset;
  std::string pendingBytes;
  bool pending = false;
  const auto flush = [&] {
    if (!pending) return;
    output += TextToUtf8(pendingCharset, pendingBytes);
    pendingBytes.clear();
    pending = false;
  };
  const auto literal = [&](std::string_view bytes) {
    if (bytes.empty()) return;
    flush();
    JisToUtf8(bytes, text);
    output += text;
  };

  std::size_t pos = 0;
  std::size_t literalStart = 0;
  bool afterWord = false;
  while (true) {
    const std::size_t start = source.find("=?", pos);
    if (start == std::string_view::npos) break;
    EncodedWord word;
    if (!ReadEncodedWord(source, start, word)) {
      // Not a word: the "=?" is ordinary text.
      result = 0;
      pos = start + 2;
      continue;
    }
    const std::string_view between = source.substr(literalStart, start - literalStart);
    if (!afterWord || !std::all_of(between.begin(), between.end(), IsLinearWhiteSpace)) {
      literal(between);
    }
    if (pending && pendingCharset != word.charset) flush();
    pendingCharset = word.charset;
    pendingBytes += word.bytes;
    pending = true;
    afterWord = true;
    pos = literalStart = word.end;
    // Japanese mailers fold a long subject into one word per line; the line break and its first
    // blank belong to the word, even when plain text follows.
    if (word.charset == "ISO-2022-JP" && pos + 2 < source.size() && source[pos] == '\r' &&
        source[pos + 1] == '\n' && IsBlank(source[pos + 2])) {
      pos = literalStart = pos + 3;
    }
  }
  literal(source.substr(literalStart));
  flush();
  return result;
}

int JisToShiftJis(std::string_view source, std::string& output) {
  output.clear();
  output.reserve(source.size());
  return WalkJis(
      source, [&](std::string_view text) { output.append(text); },
      [&](unsigned char c1, unsigned char c2) {
        JisPairToShiftJis(c1, c2);
        if (c1 != 0) output.push_back(static_cast<char>(c1));
        if (c2 != 0) output.push_back(static_cast<char>(c2));
      });
}

int JisToUtf8(std::string_view source, std::string& output) {
  output.clear();
  // Most text holds no run at all and is converted in one piece.
  if (source.find(kEsc) == std::string_view::npos) {
    output = UndeclaredToUtf8(source);
    return 1;
  }
  output.reserve(source.size() * 3 / 2);
  const JisTable& table = JisTable::Instance();
  return WalkJis(
      source,
      [&](std::string_view text) {
        if (!text.empty()) output += UndeclaredToUtf8(text);
      },
      [&](unsigned char c1, unsigned char c2) {
        const std::string_view character =
            IsJisByte(c1) && IsJisByte(c2) ? table.Character(c1, c2) : std::string_view();
        output += character.empty() ? kReplacementCharacter : character;
      });
}

std::string TextToUtf8(std::string_view charset, std::string_view bytes) {
  const std::string name = UpperAscii(TrimLinearWhiteSpace(charset));
  std::string output;
  if (IsShiftJisName(name)) {
    output = Cp932ToUtf8(bytes);
  } else if (IsUndeclaredName(name) || !CharsetToUtf8(name, bytes, output)) {
    JisToUtf8(bytes, output);
  }
  return output;
}

void ConvertToUtf8(std::string_view charset, std::string& text) {
  const std::string name = UpperAscii(TrimLinearWhiteSpace(charset));
  const bool asUtf8 = IsUndeclaredName(name) || name == "UTF-8" || name == "UTF8";
  if (asUtf8 && text.find(kEsc) == std::string::npos && IsUtf8(text)) return;
  text = TextToUtf8(name, text);
}

std::string ContentTypeCharset(std::string_view value) {
  std::size_t pos = 0;
  const auto skipBlanks = [&] {
    while (pos < value.size() && IsLinearWhiteSpace(value[pos])) ++pos;
  };
  // Past the type, then one parameter at a time.
  while ((pos = value.find(';', pos)) != std::string_view::npos) {
    ++pos;
    skipBlanks();
    const std::size_t nameStart = pos;
    while (pos < value.size() && value[pos] != '=' && value[pos] != ';') ++pos;
    const std::string name =
        UpperAscii(TrimLinearWhiteSpace(value.substr(nameStart, pos - nameStart)));
    if (pos >= value.size() || value[pos] != '=') continue;
    ++pos;
    skipBlanks();
    std::string parameter;
    if (pos < value.size() && value[pos] == '"') {
      for (++pos; pos < value.size() && value[pos] != '"'; ++pos) {
        if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
        parameter.push_back(value[pos]);
      }
      if (pos < value.size()) ++pos;
    } else {
      while (pos < value.size() && value[pos] != ';' && !IsLinearWhiteSpace(value[pos]) &&
             value[pos] != '(') {
        parameter.push_back(value[pos++]);
      }
    }
    if (name == "CHARSET") return parameter;
  }
  return {};
}

std::string DecodeFieldValue(std::string_view value) {
  std::string text;
  DecodeEncodedWords(value, text);
  return text;
}

}  // namespace qm
