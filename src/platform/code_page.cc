#include "platform/code_page.h"

#include <errno.h>
#include <iconv.h>

namespace qm {

namespace {

// One conversion descriptor per thread and direction: iconv_t keeps shift state and must not be
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

  // Converts `text`, writing `replacement` for each input byte that does not convert and
  // skipping that byte.
  std::string Convert(std::string_view text, std::string_view replacement) {
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
      out.append(replacement);
      ++in;
      --inLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Cp932ToUtf8(std::string_view text) {
  thread_local Converter converter("UTF-8", "CP932");
  return converter.Convert(text, "\xEF\xBF\xBD");
}

bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t least = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    std::uint32_t code = lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto trail = static_cast<unsigned char>(text[i + k]);
      if ((trail & 0xC0) != 0x80) return false;
      code = (code << 6) | (trail & 0x3Fu);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace qm
