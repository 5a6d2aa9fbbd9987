// The byte forms the store's files are made of: strings with length prefixes, journal and
// transaction records, message digests. Whole ones read back as written; no prefix of a cut or
// damaged one is ever taken for a value.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "store/archive.h"
#include "store/commit_records.h"
#include "store/md5.h"

namespace qm {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes.push_back(static_cast<char>(v));
  return bytes;
}

// A string of `size` bytes that is not one byte repeated, so that a shifted copy is noticed.
std::string Filler(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

TEST(ArchiveTest, StringsGetTheShortestPrefixAndLongerOnesAreStillRead) {
  const struct {
    std::size_t length;
    std::string prefix;
  } cases[] = {{0, Bytes({0x00})},
               {254, Bytes({0xFE})},
               {255, Bytes({0xFF, 0xFF, 0x00})},
               {65533, Bytes({0xFF, 0xFD, 0xFF})},
               {65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
               {70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})}};
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(CArchiveWriter(out).WriteString(Filler(c.length)));
    EXPECT_TRUE(out == c.prefix + Filler(c.length)) << c.length;
  }
  const std::string longer =
      Bytes({0xFF, 0x03, 0x00}) + "abc" + Bytes({0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00}) + "de";
  CArchiveReader reader(longer);
  std::string a, b;
  ASSERT_TRUE(reader.ReadString(a) && reader.ReadString(b));
  EXPECT_EQ(a + b, "abcde");
  EXPECT_TRUE(reader.AtEnd());
}

// Claims the data cannot meet fail without touching the output or moving on, whatever the size
// of the claim: a 4 GiB claim must not be allocated first.
TEST(ArchiveTest, ClaimsBeyondTheDataFailCleanly) {
  for (const std::string& claim :
       {std::string(), Bytes({0x04}) + "abc", Bytes({0xFF, 0x00}),
        Bytes({0xFF, 0x00, 0x01}) + Filler(255), Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01}),
        Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + Filler(64)}) {
    // An exact-size heap copy, so that AddressSanitizer sees a read past the end.
    const std::vector<char> data(claim.begin(), claim.end());
    CArchiveReader reader(std::string_view(data.data(), data.size()));
    std::string text = "untouched";
    EXPECT_FALSE(reader.ReadString(text));
    EXPECT_EQ(text, "untouched");
    EXPECT_EQ(reader.Position(), 0u);
  }
}

using Item = std::variant<std::uint32_t, std::uint16_t, std::string>;

// Reads an item of the same kind as `like`; the output starts from a value no item has.
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

// An archive of the kind the program writes, cut anywhere: the items before the cut read back
// whole, and the cut item fails without moving the position or writing its output.
TEST(ArchiveTest, EveryTruncationFailsCleanlyAtTheCutItem) {
  const std::vector<Item> items = {3u,
                                   std::string("pop.example.com"),
                                   std::uint16_t{110},
                                   std::string(),
                                   0xA5000C0Du,
                                   Filler(300),
                                   std::uint16_t{0},
                                   Filler(65534),
                                   7u,
                                   std::string("end")};
  std::string data;
  CArchiveWriter writer(data);
  std::vector<std::size_t> ends;
  for (const Item& item : items) {
    if (item.index() == 0) writer.WriteU32(std::get<0>(item));
    if (item.index() == 1) writer.WriteU16(std::get<1>(item));
    if (item.index() == 2 && !writer.WriteString(std::get<2>(item))) FAIL();
    ends.push_back(data.size());
  }
  EXPECT_EQ(data.substr(0, 4), Bytes({3, 0, 0, 0}));
  // Each cut ends one heap block, so that AddressSanitizer sees a read past it.
  std::vector<char> block(data.size());
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    char* start = block.data() + block.size() - cut;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut), start);
    CArchiveReader reader(std::string_view(start, cut));
    std::size_t i = 0;
    for (Item read; i < items.size() && ends[i] <= cut; ++i) {
      ASSERT_TRUE(ReadLike(reader, items[i], read) && read == items[i]) << cut << " " << i;
    }
    if (i == items.size()) continue;
    Item read;
    ASSERT_FALSE(ReadLike(reader, items[i], read)) << "cut " << cut;
    ASSERT_EQ(reader.Position(), i == 0 ? 0 : ends[i - 1]) << "cut " << cut;
    ASSERT_TRUE(read == (items[i].index() == 0   ? Item(0xDEADBEEFu)
                         : items[i].index() == 1 ? Item(std::uint16_t{0xDEAD})
                                                 : Item(std::string("untouched"))));
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
        << "cut at " << cut;
  }
  // A damaged record ends the journal.
  bytes[ends[0] + 20] ^= 0x40;
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
    EXPECT_FALSE(DecodeTransaction(bytes.substr(0, cut))) << "cut at " << cut;
    std::string flipped = bytes;
    flipped[cut] ^= 0x01;
    EXPECT_FALSE(DecodeTransaction(flipped)) << "byte " << cut;
  }
  EXPECT_FALSE(DecodeTransaction(bytes + "x"));
}

// Digests against RFC 1321's test suite, padding boundaries and bytes of every value (reference
// values from Python's hashlib); pieces of every split give the whole's digest.
std::string PseudoRandomBytes(std::uint32_t seed, std::size_t size) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i)
    bytes.push_back(static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24));
  return bytes;
}

TEST(Md5Test, GivesTheKnownDigestsInOnePieceOrMany) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
      {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
      {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
      {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
      {PseudoRandomBytes(3, 1000), "e99946756f54830c1d74e3a626a8a34d"},
      {PseudoRandomBytes(5, 100000), "d1f19580ffe875f08f3f2a223e3cb999"}};
  for (const auto& [message, hex] : cases) EXPECT_EQ(Md5Hex(message), hex) << message.size();
  // Three blocks' worth, so that pieces end inside, at and across block boundaries.
  const std::string whole = PseudoRandomBytes(7, 150);
  CMd5 once;
  once.Update(whole);
  for (std::size_t i = 0; i <= whole.size(); ++i) {
    for (std::size_t j = i; j <= whole.size(); ++j) {
      CMd5 md5;
      md5.Update(std::string_view(whole).substr(0, i));
      md5.Update(std::string_view(whole).substr(i, j - i));
      md5.Update(std::string_view(whole).substr(j));
      ASSERT_EQ(md5.Final(), once.Final()) << "split at " << i << " and " << j;
    }
  }
}

}  // namespace
}  // namespace qm
