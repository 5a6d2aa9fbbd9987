#include "store/commit_records.h"

#include <array>

#include "store/archive.h"

namespace qm {

namespace {

// "QMTX": tells a transaction file from anything else that might lie under its name.
constexpr std::uint32_t kTransactionMagic = 0x58544D51;

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

void WriteU64(CArchiveWriter& writer, std::uint64_t value) {
  writer.WriteU32(static_cast<std::uint32_t>(value));
  writer.WriteU32(static_cast<std::uint32_t>(value >> 32));
}

bool ReadU64(CArchiveReader& reader, std::uint64_t& value) {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
  if (!reader.ReadU32(low) || !reader.ReadU32(high)) return false;
  value = (std::uint64_t{high} << 32) | low;
  return true;
}

// The payload between its length and its CRC.
std::string Framed(const std::string& payload) {
  std::string bytes;
  CArchiveWriter writer(bytes);
  writer.WriteU32(static_cast<std::uint32_t>(payload.size()));
  bytes += payload;
  writer.WriteU32(Crc32(payload));
  return bytes;
}

// The payload of the frame at the reader's position, when it is whole and its CRC agrees.
std::optional<std::string_view> Unframe(std::string_view bytes, std::size_t& position) {
  CArchiveReader reader(bytes.substr(position));
  std::uint32_t length = 0;
  if (!reader.ReadU32(length) || reader.Remaining() < std::size_t{length} + 4) return {};
  const std::string_view payload = bytes.substr(position + 4, length);
  CArchiveReader tail(bytes.substr(position + 4 + length));
  std::uint32_t crc = 0;
  if (!tail.ReadU32(crc) || crc != Crc32(payload)) return {};
  position += 8 + std::size_t{length};
  return payload;
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    c = kCrcTable[(c ^ static_cast<std::uint8_t>(byte)) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

std::string EncodeAppendRecord(const AppendRecord& record) {
  std::string payload;
  CArchiveWriter writer(payload);
  WriteU64(writer, record.offset);
  WriteU64(writer, record.length);
  writer.WriteU32(record.flags);
  writer.WriteString(record.uidl);
  writer.WriteString(record.pendingUidl);
  writer.WriteString(record.pendingMessageId);
  return Framed(payload);
}

std::vector<AppendRecord> DecodeAppendRecords(std::string_view bytes) {
  std::vector<AppendRecord> records;
  std::size_t position = 0;
  while (const auto payload = Unframe(bytes, position)) {
    CArchiveReader reader(*payload);
    AppendRecord record;
    if (!ReadU64(reader, record.offset) || !ReadU64(reader, record.length) ||
        !reader.ReadU32(record.flags) || !reader.ReadString(record.uidl) ||
        !reader.ReadString(record.pendingUidl) || !reader.ReadString(record.pendingMessageId) ||
        !reader.AtEnd()) {
      break;
    }
    records.push_back(std::move(record));
  }
  return records;
}

std::string EncodeTransaction(const Transaction& transaction) {
  std::string payload;
  CArchiveWriter writer(payload);
  writer.WriteU32(static_cast<std::uint32_t>(transaction.boxes.size()));
  for (const TransactionBox& box : transaction.boxes) {
    writer.WriteU32(static_cast<std::uint32_t>(box.member));
    WriteU64(writer, box.sizeBefore);
    WriteU64(writer, box.sizeAfter);
    writer.WriteString(box.marksFile);
  }
  transaction.deletedHereAdded.Write(writer);
  transaction.pendingAdded.Write(writer);

  std::string bytes;
  CArchiveWriter(bytes).WriteU32(kTransactionMagic);
  return bytes + Framed(payload);
}

std::optional<Transaction> DecodeTransaction(std::string_view bytes) {
  CArchiveReader head(bytes);
  std::uint32_t magic = 0;
  if (!head.ReadU32(magic) || magic != kTransactionMagic) return {};
  std::size_t position = 4;
  const auto payload = Unframe(bytes, position);
  if (!payload || position != bytes.size()) return {};

  CArchiveReader reader(*payload);
  Transaction transaction;
  std::uint32_t count = 0;
  if (!reader.ReadU32(count) || count > 2) return {};
  for (std::uint32_t i = 0; i < count; ++i) {
    TransactionBox box;
    std::uint32_t member = 0;
    if (!reader.ReadU32(member) || member > 1 || !ReadU64(reader, box.sizeBefore) ||
        !ReadU64(reader, box.sizeAfter) || !reader.ReadString(box.marksFile)) {
      return {};
    }
    box.member = static_cast<PairMember>(member);
    transaction.boxes.push_back(std::move(box));
  }
  if (!transaction.deletedHereAdded.Read(reader) || !transaction.pendingAdded.Read(reader) ||
      !reader.AtEnd()) {
    return {};
  }
  return transaction;
}

}  // namespace qm
