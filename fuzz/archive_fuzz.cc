// Reads arbitrary bytes as an archive of mixed items until a read fails. The first byte chooses
// the order of item kinds, so that every kind is tried at every offset. Besides the sanitizers'
// findings it stops when a read breaks what the reader promises: a failed read moves nothing and
// writes nothing, a successful one consumes exactly its encoding, and what it read survives a
// write and a second read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "store/archive.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "archive_fuzz: broken promise: %s\n", what);
  std::abort();
}

// Encodes one item alone and reads it back as the same kind.
void CheckRoundTrip(std::uint32_t u32, std::uint16_t u16, const std::string& text, int kind) {
  std::string encoded;
  qm::CArchiveWriter writer(encoded);
  if (kind == 0) writer.WriteU32(u32);
  if (kind == 1) writer.WriteU16(u16);
  if (kind == 2) Check(writer.WriteString(text), "WriteString refused a string it read");

  qm::CArchiveReader reader(encoded);
  std::uint32_t u32Back = 0;
  std::uint16_t u16Back = 0;
  std::string textBack;
  if (kind == 0) Check(reader.ReadU32(u32Back) && u32Back == u32, "a u32 does not round-trip");
  if (kind == 1) Check(reader.ReadU16(u16Back) && u16Back == u16, "a u16 does not round-trip");
  if (kind == 2)
    Check(reader.ReadString(textBack) && textBack == text, "a string does not round-trip");
  Check(reader.AtEnd(), "a round trip left bytes behind");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t order = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  qm::CArchiveReader reader(bytes);

  for (unsigned item = 0;; ++item) {
    // Two bits of the first byte per item, repeating every four items; 3 reads a string too.
    const int kind = std::min(2, static_cast<int>((order >> (2 * (item % 4))) & 3));
    const std::size_t before = reader.Position();
    std::uint32_t u32 = 0x5A5A5A5A;
    std::uint16_t u16 = 0x5A5A;
    std::string text = "untouched";
    bool ok = false;
    if (kind == 0) ok = reader.ReadU32(u32);
    if (kind == 1) ok = reader.ReadU16(u16);
    if (kind == 2) ok = reader.ReadString(text);

    Check(reader.Position() <= bytes.size(), "the position is past the end");
    Check(reader.Position() + reader.Remaining() == bytes.size(), "Remaining() disagrees");
    if (!ok) {
      Check(reader.Position() == before, "a failed read moved the position");
      Check(u32 == 0x5A5A5A5A && u16 == 0x5A5A && text == "untouched",
            "a failed read wrote its output");
      break;
    }
    const std::size_t used = reader.Position() - before;
    if (kind == 0) Check(used == 4, "a u32 did not take 4 bytes");
    if (kind == 1) Check(used == 2, "a u16 did not take 2 bytes");
    if (kind == 2) {
      // The prefix is 1, 3 or 7 bytes and the text is the bytes right after it.
      const std::size_t prefix = used - std::min(used, text.size());
      Check(used >= text.size() && (prefix == 1 || prefix == 3 || prefix == 7),
            "a string took the wrong size");
      Check(bytes.substr(reader.Position() - text.size(), text.size()) == text,
            "a string is not the bytes after its prefix");
    }
    CheckRoundTrip(u32, u16, text, kind);
  }
  return 0;
}
