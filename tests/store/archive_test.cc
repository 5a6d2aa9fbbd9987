#include "store/archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

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

TEST(ArchiveIntegerTest, IntegersAreLittleEndian) {
  std::string out = "head";
  CArchiveWriter writer(out);
  writer.WriteU32(0x12345678);
  writer.WriteU16(0xBEEF);
  writer.WriteU32(0xFFFFFFFF);
  writer.WriteU16(0);
  EXPECT_EQ(out,
            "head" + Bytes({0x78, 0x56, 0x34, 0x12, 0xEF, 0xBE, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}));

  CArchiveReader reader(std::string_view(out).substr(4));
  std::uint32_t u32 = 0;
  std::uint16_t u16 = 0;
  ASSERT_TRUE(reader.ReadU32(u32));
  EXPECT_EQ(u32, 0x12345678u);
  ASSERT_TRUE(reader.ReadU16(u16));
  EXPECT_EQ(u16, 0xBEEF);
  ASSERT_TRUE(reader.ReadU32(u32));
  EXPECT_EQ(u32, 0xFFFFFFFFu);
  ASSERT_TRUE(reader.ReadU16(u16));
  EXPECT_EQ(u16, 0);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_FALSE(reader.ReadU16(u16));
}

struct PrefixCase {
  std::size_t length;
  std::string prefix;
};

void PrintTo(const PrefixCase& c, std::ostream* os) { *os << "length " << c.length; }

class ArchiveStringPrefixTest : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(ArchiveStringPrefixTest, WritesTheShortestPrefixAndReadsItBack) {
  const PrefixCase& c = GetParam();
  const std::string text = Filler(c.length);
  std::string out;
  CArchiveWriter writer(out);
  ASSERT_TRUE(writer.WriteString(text));
  ASSERT_EQ(out.size(), c.prefix.size() + c.length);
  EXPECT_EQ(out.substr(0, c.prefix.size()), c.prefix);
  EXPECT_TRUE(out.substr(c.prefix.size()) == text);

  CArchiveReader reader(out);
  std::string back = "previous";
  ASSERT_TRUE(reader.ReadString(back));
  EXPECT_TRUE(back == text);
  EXPECT_TRUE(reader.AtEnd());
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ArchiveStringPrefixTest,
    ::testing::Values(PrefixCase{0, Bytes({0x00})}, PrefixCase{1, Bytes({0x01})},
                      PrefixCase{254, Bytes({0xFE})}, PrefixCase{255, Bytes({0xFF, 0xFF, 0x00})},
                      PrefixCase{65533, Bytes({0xFF, 0xFD, 0xFF})},
                      PrefixCase{65534, Bytes({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
                      PrefixCase{65535, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00})},
                      PrefixCase{70000, Bytes({0xFF, 0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00})}),
    [](const ::testing::TestParamInfo<PrefixCase>& c) {
      return "Length" + std::to_string(c.param.length);
    });

// The writer never makes these, but a longer form than needed still says the length plainly.
TEST(ArchiveStringTest, ReaderAcceptsLongerPrefixesThanNeeded) {
  const std::string data = Bytes({0xFF, 0x03, 0x00}) + "abc" +
                           Bytes({0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00}) + "de" +
                           Bytes({0xFF, 0xFE, 0xFF}) + Filler(65534);
  CArchiveReader reader(data);
  std::string text;
  ASSERT_TRUE(reader.ReadString(text));
  EXPECT_EQ(text, "abc");
  ASSERT_TRUE(reader.ReadString(text));
  EXPECT_EQ(text, "de");
  ASSERT_TRUE(reader.ReadString(text));
  EXPECT_TRUE(text == Filler(65534));
  EXPECT_TRUE(reader.AtEnd());
}

struct BadPrefixCase {
  const char* name;
  std::string data;
};

void PrintTo(const BadPrefixCase& c, std::ostream* os) { *os << c.name; }

class ArchiveBadPrefixTest : public ::testing::TestWithParam<BadPrefixCase> {};

// Claims that the data cannot meet fail without touching the output or moving on, whatever the
// size of the claim: a 4 GiB claim must not be allocated first.
TEST_P(ArchiveBadPrefixTest, FailsCleanly) {
  // An exact-size heap copy, so that AddressSanitizer sees a read past the end.
  const std::vector<char> data(GetParam().data.begin(), GetParam().data.end());
  CArchiveReader reader(std::string_view(data.data(), data.size()));
  std::string text = "untouched";
  EXPECT_FALSE(reader.ReadString(text));
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(reader.Position(), 0u);
  EXPECT_EQ(reader.Remaining(), data.size());
}

INSTANTIATE_TEST_SUITE_P(
    Claims, ArchiveBadPrefixTest,
    ::testing::Values(
        BadPrefixCase{"Empty", ""}, BadPrefixCase{"OneByteShort", Bytes({0x04}) + "abc"},
        BadPrefixCase{"MaxOneByteLengthShort", Bytes({0xFE}) + Filler(253)},
        BadPrefixCase{"U16LengthCut", Bytes({0xFF, 0x00})},
        BadPrefixCase{"U16LengthShort", Bytes({0xFF, 0x00, 0x01}) + Filler(255)},
        BadPrefixCase{"U32LengthCut", Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01})},
        BadPrefixCase{"U32LengthShort", Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00}) + "x"},
        BadPrefixCase{"U32LengthAllOnes",
                      Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}) + Filler(64)}),
    [](const ::testing::TestParamInfo<BadPrefixCase>& c) { return c.param.name; });

using Item = std::variant<std::uint32_t, std::uint16_t, std::string>;

// An archive of the kind the program writes: counts, flag words and strings of every prefix form.
std::vector<Item> SampleItems() {
  return {std::uint32_t{3},  std::string("pop.example.com"), std::uint16_t{110},
          std::string(),     std::uint32_t{0xA5000C0D},      std::string(Filler(300)),
          std::uint16_t{0},  std::string(Filler(65534)),     std::uint32_t{7},
          std::string("end")};
}

std::string Encode(const std::vector<Item>& items) {
  std::string out;
  CArchiveWriter writer(out);
  for (const Item& item : items) {
    if (const auto* u32 = std::get_if<std::uint32_t>(&item)) writer.WriteU32(*u32);
    if (const auto* u16 = std::get_if<std::uint16_t>(&item)) writer.WriteU16(*u16);
    if (const auto* text = std::get_if<std::string>(&item)) {
      EXPECT_TRUE(writer.WriteString(*text));
    }
  }
  return out;
}

// Reads an item of the same kind as `expected`; the output starts from a value that no item has.
bool ReadLike(CArchiveReader& reader, const Item& expected, Item& read) {
  if (std::holds_alternative<std::uint32_t>(expected)) {
    std::uint32_t value = 0xDEADBEEF;
    const bool ok = reader.ReadU32(value);
    read = value;
    return ok;
  }
  if (std::holds_alternative<std::uint16_t>(expected)) {
    std::uint16_t value = 0xDEAD;
    const bool ok = reader.ReadU16(value);
    read = value;
    return ok;
  }
  std::string value = "untouched";
  const bool ok = reader.ReadString(value);
  read = value;
  return ok;
}

TEST(ArchiveSequenceTest, MixedItemsRoundTrip) {
  const std::vector<Item> items = SampleItems();
  const std::string data = Encode(items);
  CArchiveReader reader(data);
  for (std::size_t i = 0; i < items.size(); ++i) {
    Item read;
    ASSERT_TRUE(ReadLike(reader, items[i], read)) << "item " << i;
    EXPECT_TRUE(read == items[i]) << "item " << i;
  }
  EXPECT_TRUE(reader.AtEnd());
}

// Cut anywhere, the items before the cut read back whole and the cut item fails without moving
// the position or writing its output; nothing is read past the cut.
TEST(ArchiveSequenceTest, EveryTruncationFailsCleanlyAtTheCutItem) {
  const std::vector<Item> items = SampleItems();
  const std::string data = Encode(items);
  std::vector<std::size_t> itemEnds;
  {
    CArchiveReader reader(data);
    for (const Item& item : items) {
      Item read;
      ASSERT_TRUE(ReadLike(reader, item, read));
      itemEnds.push_back(reader.Position());
    }
  }

  // Each cut is placed at the end of one heap block, so that AddressSanitizer sees a read past
  // it; one block for all cuts keeps the test from allocating gigabytes.
  std::vector<char> block(data.size());
  for (std::size_t cut = 0; cut < data.size(); ++cut) {
    char* start = block.data() + block.size() - cut;
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut), start);
    CArchiveReader reader(std::string_view(start, cut));
    std::size_t whole = 0;
    while (itemEnds[whole] <= cut) ++whole;
    for (std::size_t i = 0; i < whole; ++i) {
      Item read;
      ASSERT_TRUE(ReadLike(reader, items[i], read)) << "cut " << cut << ", item " << i;
      ASSERT_TRUE(read == items[i]) << "cut " << cut << ", item " << i;
    }
    const std::size_t before = reader.Position();
    Item read;
    ASSERT_FALSE(ReadLike(reader, items[whole], read)) << "cut " << cut;
    ASSERT_EQ(reader.Position(), before) << "cut " << cut;
    const Item untouched = std::holds_alternative<std::uint32_t>(items[whole]) ? Item(0xDEADBEEFu)
                           : std::holds_alternative<std::uint16_t>(items[whole])
                               ? Item(std::uint16_t{0xDEAD})
                               : Item(std::string("untouched"));
    ASSERT_TRUE(read == untouched) << "cut " << cut;
  }
}

// A failed read leaves the position alone, so the caller may still read the bytes as another
// kind of item.
TEST(ArchiveSequenceTest, AFailedReadCanBeFollowedByAnotherRead) {
  const std::string data = Bytes({0x05, 0x61, 0x62});
  CArchiveReader reader(data);
  std::string text;
  std::uint32_t u32 = 0;
  std::uint16_t u16 = 0;
  EXPECT_FALSE(reader.ReadString(text));
  EXPECT_FALSE(reader.ReadU32(u32));
  ASSERT_TRUE(reader.ReadU16(u16));
  EXPECT_EQ(u16, 0x6105);
  EXPECT_EQ(reader.Remaining(), 1u);
}

}  // namespace
}  // namespace qm
