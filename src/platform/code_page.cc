#include "platform/code_page.h"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <utility>

namespace qm {

namespace {

// One conversion descriptor per thread and charset: iconv_t keeps shift state and must not be
// shared between threads, and opening one per call is needlessly slow.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (Valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts `text`, writing U+FFFD for each input byte that does not convert and skipping that
  // byte.
  std::string Convert(std::string_view text) {
    std::string out;
    if (!Valid()) return out;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.reserve(text.size() * 3 / 2 + 16);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char buffer[4096];
    while (inLeft > 0) {
      char* outPtr = buffer;
      std::size_t outLeft = sizeof buffer;
      const std::size_t rc = iconv(cd_, &in, &inLeft, &outPtr, &outLeft);
      out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
      if (rc != static_cast<std::size_t>(-1)) break;
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (a lead byte at the very end): the byte at `in` does not convert.
      out.append(kReplacementCharacter);
      ++in;
      --inLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush what a stateful converter still holds.
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    return out;
  }

 private:
  iconv_t cd_;
};

// The C library's name for a MIME charset name, or empty when the name cannot be one: only
// letters, digits and "-_.:+()" (no "/", which would pass options to the library).
std::string LibraryCharsetName(std::string_view charset) {
  if (charset.empty() || charset.size() > 40) return {};
  std::string name;
  for (const char c : charset) {
    if (c >= 'a' && c <= 'z') {
      name.push_back(static_cast<char>(c - 'a' + 'A'));
    } else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("-_.:+()").find(c) != std::string_view::npos) {
      name.push_back(c);
    } else {
      return {};
    }
  }
  // Names that mail uses and the library knows by others: Outlook's for Korean, the Hebrew and
  // Arabic forms of ISO-8859 that only mark the direction of the text, and GB2312, under which
  // mailers send the whole of GBK (a superset that reads GB2312 text the same).
  static constexpr std::pair<std::string_view, std::string_view> kAliases[] = {
      {"KS_C_5601-1987", "CP949"},    {"ISO-8859-8-I", "ISO-8859-8"},
      {"ISO-8859-8-E", "ISO-8859-8"}, {"ISO-8859-6-I", "ISO-8859-6"},
      {"ISO-8859-6-E", "ISO-8859-6"}, {"GB2312", "GBK"}};
  for (const auto& [alias, known] : kAliases) {
    if (name == alias) return std::string(known);
  }
  return name;
}

// The converter from `name` for this thread; null when the library has none. A message names
// whatever charsets it likes, so the cache starts afresh once it holds a few dozen.
Converter* ConverterFrom(const std::string& name) {
  thread_local std::map<std::string, std::unique_ptr<Converter>> converters;
  auto found = converters.find(name);
  if (found == converters.end()) {
    if (converters.size() >= 32) converters.clear();
    found = converters.emplace(name, std::make_unique<Converter>("UTF-8", name.c_str())).first;
  }
  return found->second->Valid() ? found->second.get() : nullptr;
}

// The length of the well-formed UTF-8 sequence at `i`, or 0 when there is none; then `bad` is the
// length of the maximal ill-formed part (at least 1).
std::size_t SequenceAt(std::string_view text, std::size_t i, std::size_t& bad) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= text.size()) {
      bad = k;
      return 0;
    }
    const auto trail = static_cast<unsigned char>(text[i + k]);
    if (trail < low || trail > high) {
      bad = k;
      return 0;
    }
    low = 0x80;
    high = 0xBF;
  }
  return length;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view text) {
  thread_local Converter converter("UTF-8", "CP932");
  return converter.Convert(text);
}

bool CharsetToUtf8(std::string_view charset, std::string_view text, std::string& output) {
  const std::string name = LibraryCharsetName(charset);
  if (name.empty()) return false;
  if (name == "UTF-8" || name == "UTF8") {
    output = RepairUtf8(text);
  } else {
    Converter* converter = ConverterFrom(name);
    if (converter == nullptr) return false;
    output = converter->Convert(text);
    // The C library takes names it does not list as spelt ("utf)8") for UTF-8, whose reader
    // there passes the five- and six-byte forms of old through as they are.
    if (!IsUtf8(output)) output = RepairUtf8(output);
  }
  output.erase(std::remove(output.begin(), output.end(), '\0'), output.end());
  return true;
}

std::string UndeclaredToUtf8(std::string_view text) {
  return IsUtf8(text) ? std::string(text) : Cp932ToUtf8(text);
}

bool IsUtf8(std::string_view text) {
  std::size_t bad = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SequenceAt(text, i, bad);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string RepairUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t bad = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SequenceAt(text, i, bad);
    if (length == 0) {
      out.append(kReplacementCharacter);
      i += bad;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string CutUtf8(std::string_view text, std::size_t limit) {
  // Walk from the start: a character cut by the limit goes whole, and so does the start of a
  // character that the text ends inside; an ill-formed part counts as the bytes it holds.
  const std::size_t room = std::min(limit, text.size());
  std::size_t end = 0;
  std::size_t bad = 0;
  while (end < room) {
    const std::size_t length = SequenceAt(text, end, bad);
    const std::size_t width = length == 0 ? bad : length;
    const auto lead = static_cast<unsigned char>(text[end]);
    const bool truncated = length == 0 && end + bad == text.size() && lead >= 0xC2 && lead <= 0xF4;
    if (truncated || end + width > room) break;
    end += width;
  }
  return std::string(text.substr(0, end));
}

}  // namespace qm
