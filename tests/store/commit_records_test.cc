// The journal and transaction records: whole ones read back as written, and no prefix of a cut
// or damaged file is ever taken for a record.
#include "store/commit_records.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qm {
namespace {

TEST(Crc32Test, GivesTheCheckValue) {
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32(""), 0u);
}

AppendRecord Record(std::uint64_t offset, std::string pending = {}) {
  return {offset, 5 + offset, 0x2D, "uid" + std::to_string(offset), pending, "<m@x>"};
}

TEST(AppendRecordTest, EveryCutKeepsExactlyTheWholeRecordsBeforeIt) {
  const std::vector<AppendRecord> written = {Record(0), Record(1ull << 33, "gone"), Record(7)};
  std::string bytes;
  std::vector<std::size_t> ends;
  for (const AppendRecord& record : written) {
    bytes += EncodeAppendRecord(record);
    ends.push_back(bytes.size());
  }
  EXPECT_EQ(DecodeAppendRecords(bytes), written);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const std::size_t whole =
        static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
    EXPECT_EQ(DecodeAppendRecords(bytes.substr(0, cut)),
              std::vector<AppendRecord>(written.begin(), written.begin() + whole))
        << "cut at " << cut;
  }
}

TEST(AppendRecordTest, ADamagedRecordEndsTheJournal) {
  std::string bytes = EncodeAppendRecord(Record(0)) + EncodeAppendRecord(Record(9));
  bytes[bytes.size() - 10] ^= 0x40;
  EXPECT_EQ(DecodeAppendRecords(bytes), std::vector<AppendRecord>{Record(0)});
}

TEST(TransactionTest, RoundTripsAndRefusesEveryCutAndFlippedByte) {
  Transaction written;
  written.boxes.push_back({PairMember::Main, 900, 400, std::string("\x01\0\0\0\x0c\0", 6)});
  written.boxes.push_back({PairMember::Dustbox, 100, 600, std::string(300, 'm')});
  written.deletedHereAdded.Add("a", "<a@x>");
  written.pendingAdded.Add("b", "");
  const std::string bytes = EncodeTransaction(written);
  EXPECT_EQ(DecodeTransaction(bytes), written);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_FALSE(DecodeTransaction(bytes.substr(0, cut))) << "cut at " << cut;
    std::string flipped = bytes;
    flipped[cut] ^= 0x01;
    EXPECT_FALSE(DecodeTransaction(flipped)) << "byte " << cut;
  }
  EXPECT_FALSE(DecodeTransaction(bytes + "x"));
}

}  // namespace
}  // namespace qm
