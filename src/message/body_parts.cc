#include "message/body_parts.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "message/ascii.h"
#include "message/decode.h"

namespace qm {

namespace {

// Counts bytes where a string would keep them.
struct ByteCount {
  std::size_t size = 0;
  void push_back(char) { ++size; }
  void append(std::string_view bytes) { size += bytes.size(); }
};

template <typename Out>
void DecodeBase64Content(std::string_view source, Out& out) {
  std::uint32_t bits = 0;
  int count = 0;
  const auto flushPartial = [&] {
    if (count == 2) out.push_back(static_cast<char>(bits >> 4));
    if (count == 3) {
      out.push_back(static_cast<char>(bits >> 10));
      out.push_back(static_cast<char>(bits >> 2));
    }
  };
  for (std::size_t i = 0; i < source.size(); ++i) {
    const char c = source[i];
    if (c == '=') {
      // Padding ends the data once it completes a group; a stray "=" is skipped.
      if (count == 3) break;
      if (count == 2) {
        std::size_t next = i + 1;
        while (next < source.size() && source[next] != '=' && Base64DigitValue(source[next]) < 0) {
          ++next;
        }
        if (next < source.size() && source[next] == '=') break;
      }
      continue;
    }
    const int value = Base64DigitValue(c);
    if (value < 0) continue;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  // Data that ends without its padding keeps the bytes its last characters hold.
  flushPartial();
}

template <typename Out>
void DecodeQuotedPrintableContent(std::string_view source, Out& out) {
  std::size_t pos = 0;
  while (pos < source.size()) {
    const std::size_t eq = source.find('=', pos);
    if (eq == std::string_view::npos) {
      out.append(source.substr(pos));
      return;
    }
    out.append(source.substr(pos, eq - pos));
    const std::string_view rest = source.substr(eq + 1);
    if (rest.empty() || rest == "\r") return;  // a soft break at the very end
    if (rest.starts_with("\r\n")) {
      pos = eq + 3;
    } else if (rest.front() == '\n') {
      pos = eq + 2;
    } else if (rest.size() >= 2 && HexDigitValue(rest[0]) >= 0 && HexDigitValue(rest[1]) >= 0) {
      out.push_back(static_cast<char>(HexDigitValue(rest[0]) * 16 + HexDigitValue(rest[1])));
      pos = eq + 3;
    } else {
      out.push_back('=');
      pos = eq + 1;
    }
  }
}

// The bytes of a leaf as they were before the store stuffed the dots of its lines; `buffer` holds
// them when that changed anything.
std::string_view Unstuffed(std::string_view storedText, const MimeLeaf& leaf, std::string& buffer) {
  const std::string_view bytes = storedText.substr(
      std::min(leaf.offset, storedText.size()),
      std::min(leaf.length, storedText.size() - std::min(leaf.offset, storedText.size())));
  const bool startsLine = leaf.offset == 0 || storedText[leaf.offset - 1] == '\n';
  if (bytes.find("\n.") == std::string_view::npos && !(startsLine && bytes.starts_with("."))) {
    return bytes;
  }
  buffer.clear();
  buffer.reserve(bytes.size());
  bool lineStart = startsLine;
  for (const char c : bytes) {
    if (!(lineStart && c == '.')) buffer.push_back(c);
    lineStart = c == '\n';
  }
  return buffer;
}

template <typename Out>
void DecodeContent(std::string_view storedText, const MimeLeaf& leaf, Out& out) {
  std::string buffer;
  const std::string_view bytes = Unstuffed(storedText, leaf, buffer);
  if (leaf.encoding == "base64") {
    DecodeBase64Content(bytes, out);
  } else if (leaf.encoding == "quoted-printable") {
    DecodeQuotedPrintableContent(bytes, out);
  } else {
    out.append(bytes);
  }
}

}  // namespace

std::vector<MimeLeaf> StoredMessageParts(std::string_view storedText) {
  // The "." line that ends the stored form is no part of the message.
  if (storedText == ".\r\n" || storedText.ends_with("\n.\r\n")) {
    storedText.remove_suffix(3);
  }
  return WalkMimeParts(storedText);
}

bool IsSinglePart(const std::vector<MimeLeaf>& leaves) {
  return leaves.size() == 1 && leaves.front().depth == 0;
}

std::string PartContent(std::string_view storedText, const MimeLeaf& leaf) {
  std::string content;
  content.reserve(leaf.encoding == "base64" ? leaf.length / 4 * 3 + 3 : leaf.length);
  DecodeContent(storedText, leaf, content);
  return content;
}

std::size_t PartSize(std::string_view storedText, const MimeLeaf& leaf) {
  ByteCount count;
  DecodeContent(storedText, leaf, count);
  return count.size;
}

std::string PartText(std::string_view storedText, const MimeLeaf& leaf) {
  std::string text = PartContent(storedText, leaf);
  ConvertToUtf8(leaf.charset, text);
  text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
  return text;
}

std::string PartFileName(const MimeLeaf& leaf) {
  if (!leaf.fileNameCharset.empty()) return TextToUtf8(leaf.fileNameCharset, leaf.fileName);
  return DecodeFieldValue(leaf.fileName);
}

std::size_t BestTextPart(const std::vector<MimeLeaf>& leaves) {
  for (const bool embedded : {false, true}) {
    for (const std::string_view type : {"text/plain", "text/html"}) {
      for (std::size_t i = 0; i < leaves.size(); ++i) {
        const MimeLeaf& leaf = leaves[i];
        if (leaf.embedded == embedded && !leaf.attachment && leaf.type == type) return i;
      }
    }
  }
  return std::string::npos;
}

}  // namespace qm
