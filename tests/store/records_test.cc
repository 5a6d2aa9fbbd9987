// The byte forms the store's files are made of. Whole ones read back as written; no prefix of a
// cut or damaged one is ever taken for a value.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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

// Strings of every length form (0, 254, 255, 65534 bytes) and numbers, cut anywhere (the cut
// ending a heap block, for AddressSanitizer): the items before the cut read back whole and the
// cut one fails without moving on or writing its output; a 4 GiB claim fails before allocating.
TEST(ArchiveTest, EveryTruncationFailsCleanlyAtTheCutItem) {
  const std::vector<std::string> strings = {"", Filler(254), Filler(255), Filler(65534)};
  std::string data;
  CArchiveWriter writer(data);
  std::vector<std::size_t> ends;
  for (const std::string& text : strings) {
    writer.WriteU32(0xA5000C0Du), writer.WriteU16(110), ends.push_back(data.size());
    if (!writer.WriteString(text)) FAIL();
    ends.push_back(data.size());
  }
  std::vector<char> block(data.size());
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    char* start = block.data() + block.size() - cut;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut), start);
    CArchiveReader reader(std::string_view(start, cut));
    for (std::size_t item = 0; item < ends.size(); item += 2) {
      std::uint32_t u32 = 1;
      std::uint16_t u16 = 1;
      std::string text = "untouched";
      const std::size_t at = reader.Position();
      ASSERT_EQ(reader.ReadU32(u32) && reader.ReadU16(u16), ends[item] <= cut) << cut;
      if (ends[item] > cut) break;
      ASSERT_EQ(reader.ReadString(text), ends[item + 1] <= cut) << cut;
      ASSERT_TRUE(ends[item + 1] <= cut
                      ? u32 == 0xA5000C0Du && u16 == 110 && text == strings[item / 2]
                      : text == "untouched" && reader.Position() == at + 6)
          << cut;
      if (ends[item + 1] > cut) break;
    }
  }
  EXPECT_EQ(
      data.substr(0, 7) + data.substr(ends[5] - 255 - 3, 3) + data.substr(ends[7] - 65534 - 7, 7),
      std::string("\x0D\x0C\0\xA5\x6E\0\0\xFF\xFF\0\xFF\xFF\xFF\xFE\xFF\0\0", 17));
  const std::string claim = "\xFF\xFF\xFF\xFF\xFF\xFF\xFF" + Filler(64);
  const std::vector<char> copy(claim.begin(), claim.end());
  CArchiveReader huge(std::string_view(copy.data(), copy.size()));
  std::string text;
  EXPECT_FALSE(huge.ReadString(text) || huge.Position() != 0);
}

TEST(CommitRecordsTest, EveryCutOfTheJournalKeepsExactlyTheWholeRecordsBeforeIt) {
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
  written.boxes = {{PairMember::Main, 900, 400, std::string("\x01\0\0\0\x0c\0", 6)},
                   {PairMember::Dustbox, 100, 600, std::string(300, 'm')}};
  written.deletedHereAdded.Add("a", "<a@x>");
  written.pendingAdded.Add("b", "");
  const std::string bytes = EncodeTransaction(written);
  EXPECT_EQ(DecodeTransaction(bytes), written);
  EXPECT_FALSE(DecodeTransaction(bytes + "x"));
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    std::string flipped = bytes;
    flipped[cut] ^= 0x01;
    EXPECT_FALSE(DecodeTransaction(bytes.substr(0, cut)) || DecodeTransaction(flipped)) << cut;
  }
}

// Padding boundaries and bytes of every value (references from Python's hashlib).
TEST(Md5Test, GivesTheKnownDigests) {
  std::string digests;
  for (const std::string& message : {std::string(), std::string(55, 'a'), std::string(56, 'a'),
                                     std::string(64, 'a'), Filler(100000, 5)})
    digests += Md5Hex(message) + " ";
  EXPECT_EQ(digests,
            "d41d8cd98f00b204e9800998ecf8427e ef1772b6dff9a122358552954ad0df65 "
            "3b0c8ac703f828b04c6c197006d17218 014842d480b571495a4a0363793f7367 "
            "d1f19580ffe875f08f3f2a223e3cb999 ");
}

}  // namespace
}  // namespace qm
