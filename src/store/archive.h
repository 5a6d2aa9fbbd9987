// The encoding of the program's own binary files (marks, mailbox settings, server lists): a
// sequence of little-endian integers and length-prefixed strings with no framing around them.
//
// A string is its raw bytes (no terminator) after its length L:
//   L < 255                one byte L
//   255 <= L < 65534       0xFF, then L as u16
//   L >= 65534             0xFF, the u16 0xFFFF, then L as u32
// The prefixes are fixed by files that already exist, so the writer always picks the shortest
// form, and the reader accepts any form whose length fits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

class CArchiveWriter {
 public:
  // Appends to `target`, which must outlive the writer; whatever `target` holds already is kept.
  explicit CArchiveWriter(std::string& target) : output(target) {}

  void WriteU32(std::uint32_t value);
  void WriteU16(std::uint16_t value);
  // False, writing nothing, when the string is longer than a u32 length can say.
  bool WriteString(std::string_view text);

 private:
  std::string& output;
};

// Reads items from the front of `bytes`, which must outlive the reader. A read that fails (the
// data ends early, or a length prefix claims more bytes than remain) returns false and changes
// neither the position nor its output, so a caller can tell a clean end from a truncated item.
class CArchiveReader {
 public:
  explicit CArchiveReader(std::string_view bytes) : data(bytes) {}

  bool ReadU32(std::uint32_t& value);
  bool ReadU16(std::uint16_t& value);
  bool ReadString(std::string& text);

  // Bytes consumed by the successful reads so far.
  std::size_t Position() const { return position; }
  std::size_t Remaining() const { return data.size() - position; }
  bool AtEnd() const { return position == data.size(); }

 private:
  std::string_view data;
  std::size_t position = 0;
};

}  // namespace qm
