// The byte forms the store's files are made of. Whole ones read back as written; no prefix of a
// cut or damaged one is ever taken for a value.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "store/archive.h"
#include "store/commit_records.h"
#include "store/md5.h"

namespace qm {
namespace {

// Not one byte repeated, so that a shifted copy is noticed.
std::string Filler(std::size_t size, std::uint32_t seed = 1) {
  std::string bytes;
  while (bytes.size() < size)
    bytes += static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  return bytes;
}
using Item = std::variant<std::uint32_t, std::uint16_t, std::string>;

// Reads an item of the kind of `like` into `read`, which starts from a value no item has.
bool ReadLike(CArchiveReader& reader, const Item& like, Item& read) {
  std::uint32_t u32 = 0xDEADBEEF;
  std::uint16_t u16 = 0xDEAD;
  std::string text = "untouched";
  const bool ok = like.index() == 0   ? reader.ReadU32(u32)
                  : like.index() == 1 ? reader.ReadU16(u16)
                                      : reader.ReadString(text);
  read = like.index() == 0 ? Item(u32) : like.index() == 1 ? Item(u16) : Item(text);
  return ok;
}

// Cut anywhere (the cut ending a heap
// block, for AddressSanitizer), the items before the cut read back whole and the cut one fails
// without moving on or writing its output; a 4 GiB claim fails before anything is allocated.
TEST(ArchiveTest, EveryTruncationFailsCleanlyAtTheCutItem) {
  const std::vector<Item> items = {3u,          std::string(), std::uint16_t{110}, Filler(254),
                                   Filler(255), 0xA5000C0Du,   Filler(65534)};
  std::string data;
  CArchiveWriter writer(data);
  std::vector<std::size_t> ends;
  for (const Item& item : items) {
    if (item.index() == 0) writer.WriteU32(std::get<0>(item));
    if (item.index() == 1) writer.WriteU16(std::get<1>(item));
    if (item.index() == 2 && !writer.WriteString(std::get<2>(item))) FAIL();
    ends.push_back(data.size());
  }
  data += "\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + Filler(64);
  std::vector<char> block(data.size());
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    char* start = block.data() + block.size() - cut;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut), start);
    CArchiveReader reader(std::string_view(start, cut));
    Item read, untouched;
    for (std::size_t i = 0; i <= items.size(); ++i) {
      const Item& like = i < items.size() ? items[i] : Item(std::string());
      if (i < items.size() && ends[i] <= cut) {
        ASSERT_TRUE(ReadLike(reader, like, read) && read == like) << cut;
        continue;
      }
      CArchiveReader empty{std::string_view()};
      ReadLike(empty, like, untouched);
      ASSERT_FALSE(ReadLike(reader, like, read)) << cut;
      ASSERT_TRUE(reader.Position() == (i == 0 ? 0 : ends[i - 1]) && read == untouched) << cut;
      break;
    }
  }
}

TEST(CommitRecordsTest, EveryCutOfTheJournalKeepsExactlyTheWholeRecordsBeforeIt) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  auto record = [](std::uint64_t offset, std::string pending = {}) {
    return AppendRecord{offset, 5 + offset, 0x2D, "uid" + std::to_string(offset), pending, "<m@x>"};
  };
  const std::vector<AppendRecord> written = {record(0), record(1ull << 33, "gone"), record(7)};
  std::string bytes;
  std::vector<std::size_t> ends;
  for (const AppendRecord& r : written) ends.push_back((bytes += EncodeAppendRecord(r)).size());
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    const auto whole = std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin();
    EXPECT_EQ(DecodeAppendRecords(bytes.substr(0, cut)),
              std::vector<AppendRecord>(written.begin(), written.begin() + whole))
        << cut;
  }
  bytes[ends[0] + 20] ^= 0x40;  // a damaged record ends the journal
  EXPECT_EQ(DecodeAppendRecords(bytes), std::vector<AppendRecord>{written[0]});
}

TEST(CommitRecordsTest, ATransactionRoundTripsAndEveryCutOrFlippedByteIsRefused) {
  Transaction written;
  written.boxes.push_back({PairMember::Main, 900, 400, std::string("\x01\0\0\0\x0c\0", 6)});
  written.boxes.push_back({PairMember::Dustbox, 100, 600, std::string(300, 'm')});
  written.deletedHereAdded.Add("a", "<a@x>");
  written.pendingAdded.Add("b", "");
  const std::string bytes = EncodeTransaction(written);
  EXPECT_EQ(DecodeTransaction(bytes), written);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    std::string flipped = bytes;
    flipped[cut] ^= 0x01;
    EXPECT_FALSE(DecodeTransaction(bytes.substr(0, cut)) || DecodeTransaction(flipped)) << cut;
  }
  EXPECT_FALSE(DecodeTransaction(bytes + "x"));
}

// RFC 1321's suite, padding boundaries, bytes of every value (references from Python's hashlib).
TEST(Md5Test, GivesTheKnownDigests) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {Filler(100000, 5), "d1f19580ffe875f08f3f2a223e3cb999"}};
  for (const auto& [message, hex] : cases) EXPECT_EQ(Md5Hex(message), hex) << message.size();
}

}  // namespace
}  // namespace qm
