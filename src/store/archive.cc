#include "store/archive.h"

#include <limits>

namespace qm {

namespace {

// A one-byte or u16 length of all ones says that a longer length follows. The u16 form stops
// short of 0xFFFE as well: existing files put 65534 into the u32 form.
constexpr std::uint32_t kLongLength8 = 0xFF;
constexpr std::uint32_t kLongLength16 = 0xFFFF;
constexpr std::size_t kLongestU16Length = 65533;

// Reads a little-endian unsigned integer of `bytes` bytes at `at`; the caller has checked that
// they are there.
std::uint32_t LoadLittleEndian(std::string_view data, std::size_t at, int bytes) {
  std::uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<std::uint8_t>(data[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

}  // namespace

void CArchiveWriter::WriteU32(std::uint32_t value) {
  for (int i = 0; i < 4; ++i) output.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void CArchiveWriter::WriteU16(std::uint16_t value) {
  output.push_back(static_cast<char>(value & 0xFF));
  output.push_back(static_cast<char>(value >> 8));
}

bool CArchiveWriter::WriteString(std::string_view text) {
  const std::size_t length = text.size();
  if (length > std::numeric_limits<std::uint32_t>::max()) return false;
  if (length < kLongLength8) {
    output.push_back(static_cast<char>(length));
  } else {
    output.push_back(static_cast<char>(kLongLength8));
    if (length <= kLongestU16Length) {
      WriteU16(static_cast<std::uint16_t>(length));
    } else {
      WriteU16(static_cast<std::uint16_t>(kLongLength16));
      WriteU32(static_cast<std::uint32_t>(length));
    }
  }
  output.append(text);
  return true;
}

bool CArchiveReader::ReadU32(std::uint32_t& value) {
  if (Remaining() < 4) return false;
  value = LoadLittleEndian(data, position, 4);
  position += 4;
  return true;
}

bool CArchiveReader::ReadU16(std::uint16_t& value) {
  if (Remaining() < 2) return false;
  value = static_cast<std::uint16_t>(LoadLittleEndian(data, position, 2));
  position += 2;
  return true;
}

bool CArchiveReader::ReadString(std::string& text) {
  // The prefix is read at a cursor of its own so that a failure leaves the position alone.
  std::size_t at = position;
  const auto take = [&](int bytes, std::uint32_t& value) {
    if (data.size() - at < static_cast<std::size_t>(bytes)) return false;
    value = LoadLittleEndian(data, at, bytes);
    at += static_cast<std::size_t>(bytes);
    return true;
  };
  std::uint32_t length = 0;
  if (!take(1, length)) return false;
  if (length == kLongLength8) {
    if (!take(2, length)) return false;
    if (length == kLongLength16 && !take(4, length)) return false;
  }
  // Checked before anything is allocated: a hostile prefix may claim up to 4 GiB.
  if (data.size() - at < length) return false;
  text.assign(data.substr(at, length));
  position = at + length;
  return true;
}

}  // namespace qm
