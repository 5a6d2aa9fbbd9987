#include "classify/text_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using Entries = std::vector<std::pair<std::string, std::int32_t>>;

Entries EntriesOf(const TextList& list) {
  Entries entries;
  list.ForEach([&entries](std::string_view key, std::int32_t value) {
    entries.emplace_back(std::string(key), value);
    return 1;
  });
  return entries;
}

TextList ListOf(const Entries& entries) {
  TextList list;
  for (const auto& [key, value] : entries) list.Insert(key, value);
  return list;
}

// The behaviour of the list written out naively over a sorted map.
class ModelList {
 public:
  void Insert(const std::string& key, std::int32_t value) {
    if (key.empty()) return;
    for (std::size_t n = 1; n < key.size(); ++n) {
      if (entries.count(key.substr(0, n))) return;
    }
    for (auto it = entries.lower_bound(key); it != entries.end() && it->first.starts_with(key);) {
      it = entries.erase(it);
    }
    entries[key] = value;
  }
  int Find(const std::string& key, std::int32_t& value) const {
    for (std::size_t n = 1; n <= key.size(); ++n) {
      const auto it = entries.find(key.substr(0, n));
      if (it != entries.end()) {
        value = it->second;
        return static_cast<int>(n);
      }
    }
    return 0;
  }
  std::map<std::string, std::int32_t> entries;  // std::string compares bytes as unsigned
};

// Random operations over keys drawn from a few shapes; each shape stresses another part of the
// tree: shared stems that split and rejoin, keys that are prefixes of others, high bytes and NUL.
struct ModelCase {
  const char* name;
  std::uint32_t seed;
  std::string alphabet;
  std::size_t stemCount;  // 0: keys are random strings of up to maxLength bytes
  std::size_t maxLength;
  int steps;
};

std::string EveryByte() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
  return bytes;
}

class TextListModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(TextListModelTest, RandomOperationsAgreeWithPlainModel) {
  const ModelCase& c = GetParam();
  std::mt19937 random(c.seed);
  auto randomText = [&](std::size_t length) {
    std::string text(length, ' ');
    for (char& ch : text) ch = c.alphabet[random() % c.alphabet.size()];
    return text;
  };
  std::vector<std::string> stems;
  for (std::size_t i = 0; i < c.stemCount; ++i) stems.push_back(randomText(1 + random() % 8));
  TextList list;
  ModelList model;
  auto randomKey = [&]() -> std::string {
    // Now and then a stored key itself, a prefix or an extension of one, so keys cover each other
    // and removals hit.
    if (!model.entries.empty() && random() % 4 == 0) {
      auto it = model.entries.begin();
      std::advance(it, random() % std::min<std::size_t>(model.entries.size(), 256));
      const std::string& stored = it->first;
      switch (random() % 4) {
        case 0:
          return stored.substr(0, stored.size() - random() % (stored.size() + 1) / 4);
        case 1:
          return stored + randomText(random() % 3);
        default:
          return stored;
      }
    }
    // Mostly long keys: short ones cover so much that the list would stay small.
    const std::size_t length = random() % 8 ? c.maxLength / 2 + random() % (c.maxLength / 2 + 1)
                                            : random() % (c.maxLength + 1);
    if (stems.empty()) return randomText(length);
    return stems[random() % stems.size()] + randomText(length);
  };

  for (int step = 0; step < c.steps; ++step) {
    const std::string key = randomKey();
    const auto value = static_cast<std::int32_t>(random());
    const unsigned operation = random() % 16;
    if (operation < 8) {
      list.Insert(key, value);
      model.Insert(key, value);
    } else if (operation < 11) {
      const int removed = model.entries.erase(key) ? 1 : 0;
      ASSERT_EQ(removed, list.Remove(key)) << "step " << step;
    } else if (operation < 15) {
      std::int32_t expected = -77;
      std::int32_t actual = -77;  // left alone on a miss
      const int length = model.Find(key, expected);
      ASSERT_EQ(length, list.Find(key, &actual)) << "step " << step;
      ASSERT_EQ(length, list.Find(key)) << "step " << step;  // the number output is optional
      ASSERT_EQ(expected, actual) << "step " << step;
    } else if (random() % 512 == 0) {
      list.Clear();
      model.entries.clear();
    } else {
      // A refusal part-way stops the walk right there.
      const std::size_t stopAt = random() % (model.entries.size() + 1);
      std::size_t seen = 0;
      const int accepted = list.ForEach(
          [&](std::string_view, std::int32_t) { return ++seen == stopAt + 1 ? 0 : 1; });
      ASSERT_EQ(stopAt < model.entries.size() ? 0 : (model.entries.empty() ? 0 : 1), accepted);
      ASSERT_EQ(std::min(stopAt + 1, model.entries.size()), seen) << "step " << step;
    }
    if (step % 127 == 0) {
      ASSERT_EQ(Entries(model.entries.begin(), model.entries.end()), EntriesOf(list))
          << "step " << step;
      ASSERT_EQ(model.entries.empty(), list.Empty());
      for (const auto& [stored, number] : model.entries) {
        std::int32_t found = 0;
        ASSERT_EQ(static_cast<int>(stored.size()), list.Find(stored + "~tail", &found));
        ASSERT_EQ(number, found);
        ASSERT_EQ(0, list.Find(stored.substr(0, stored.size() - 1)));
      }
      const TextList copy = list;
      ASSERT_EQ(EntriesOf(list), EntriesOf(copy));
    }
  }
  // Emptying the list key by key leaves nothing behind that a later key could trip over.
  while (!model.entries.empty()) {
    const std::string key = model.entries.begin()->first;
    model.entries.erase(model.entries.begin());
    ASSERT_EQ(1, list.Remove(key));
  }
  EXPECT_TRUE(list.Empty());
  list.Insert("again", 1);
  EXPECT_EQ((Entries{{"again", 1}}), EntriesOf(list));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, TextListModelTest,
    ::testing::Values(ModelCase{"ShortKeysWithNulAndHighBytes", 20240601,
                                std::string("\0a\x7f\x80\xff", 5), 0, 5, 20000},
                      ModelCase{"TwoLettersDeepSplits", 11, "ab", 0, 14, 20000},
                      ModelCase{"AddressesOnSharedStems", 12, "us0123456789@.x", 40, 10, 30000},
                      ModelCase{"HighBytesOnSharedStems", 13,
                                "\x80\xc3\xa9\xfe\xff"
                                "a",
                                12, 6, 20000},
                      ModelCase{"ManyFirstBytes", 14,
                                std::string(" 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "abcdefghijklmnopqrstuvwxyz\x80\xc0\xe0\xff"),
                                0, 3, 20000},
                      ModelCase{"EveryByteValue", 15, EveryByte(), 0, 2, 30000}),
    [](const ::testing::TestParamInfo<ModelCase>& param) { return param.param.name; });

TEST(TextListTest, VeryLongKeysNeedNoDeepRecursion) {
  const std::string deep(300000, 'x');
  TextList list = ListOf({{deep, 1}, {deep + "y", 2}});
  EXPECT_EQ(static_cast<int>(deep.size()), list.Find(deep + "tail"));
  TextList copy = list;
  EXPECT_EQ(1, copy.Remove(deep));
  EXPECT_TRUE(copy.Empty());
  list.Insert(deep.substr(0, 10), 3);  // frees the deep path
  EXPECT_EQ((Entries{{deep.substr(0, 10), 3}}), EntriesOf(list));
  list.Insert(deep, 4);
}  // destroys a list holding the deep path

TEST(TextListFileTest, WritesKeysThatLoadAsThemselvesInKeyOrder) {
  const std::string end("\0\r\r\n", 4);
  EXPECT_EQ("-17 a b@x" + end + "0 zed@" + end + "2147483647 \xe9t\xe9@" + end,
            WriteTextListFile(ListOf({{"zed@", 0}, {"a b@x", -17}, {"\xe9t\xe9@", 2147483647}})));
  const std::string longest(1023 - 4, 'k');  // "-1 " + key + NUL fills one 1023-byte piece
  const TextList list = ListOf({{"inner\nline", 1},
                                {std::string("nul\0x", 5), 1},
                                {"trail ", 1},
                                {"tab\t", 1},
                                {"cr\r", 1},
                                {"ctrl\x1az", 1},
                                {longest, -1},
                                {std::string(1021, 'm'), 0},
                                {"mid\rcr", 2},
                                {" lead", 3}});
  TextList back;
  ReadTextListFile(WriteTextListFile(list), back);
  EXPECT_EQ((Entries{{" lead", 3}, {longest, -1}, {"mid\rcr", 2}}), EntriesOf(back));
}

std::string Nul(const char* text) { return std::string(text) + '\0'; }

TEST(TextListFileTest, ReadsLines) {
  const struct {
    std::string bytes;
    Entries entries;
  } cases[] = {
      {"\r\n\n  \t\r\n\r\r\n", {}},
      {Nul("1 a@") + "\r\r\n" + Nul("-2 b@") + "\r\r\n", {{"a@", 1}, {"b@", -2}}},
      {"1 a@\r\n2 b@\r\n", {{"a@", 1}, {"b@", 2}}},
      {"1 a@\n2 b@", {{"a@", 1}, {"b@", 2}}},
      {"1 a\rb\n", {{"a\rb", 1}}},  // a lone CR is no line end
      {"0 John Doe <j@x>\n5  x\n", {{" x", 5}, {"John Doe <j@x>", 0}}},
      {"john@\n42abc\n17 \r\nx y\n", {{"17", 17}, {"42abc", 42}, {"john@", 0}, {"y", 0}}},
      {"+8 k\n", {{"k", 8}}},
      {"99999999999 k\n-99999999999 l\n", {{"k", 2147483647}, {"l", -2147483647 - 1}}},
      {" \t 3 key \t\r\n", {{"key", 3}}},
      {Nul("1 a") + "junk\n" + Nul("") + "2 b\n", {{"a", 1}}},  // cut at NUL
      {"1 k\n2 k\n1 ab@\n2 a\n3 abc\n", {{"a", 2}, {"k", 2}}},
      {"1 \xc3\xa9@\n", {{"\xc3\xa9@", 1}}},
      // 1023 bytes make one piece; the rest of the line is read as an entry of its own.
      {"7 " + std::string(1021, 'a') + "12 tail\n", {{std::string(1021, 'a'), 7}, {"tail", 12}}},
      {"7 " + std::string(1021, 'a') + "\r\n1 b\n", {{std::string(1021, 'a'), 7}, {"b", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    TextList list = ListOf({{"stale", 1}});
    ReadTextListFile(c.bytes, list);
    EXPECT_EQ(c.entries, EntriesOf(list));
    for (std::size_t n = 0; n <= c.bytes.size(); ++n) ReadTextListFile(c.bytes.substr(0, n), list);
  }
}

TEST(TextListFileTest, SaveAndLoad) {
  ScratchDirectory dir;
  const std::string path = dir.File("bad.txt");
  test::WriteFileBytes(path, "1 old\n1 older\n1 oldest\n");
  const Entries entries{{"a b c@", 0}, {"bad@", -5}, {"x", 1}, {"\x80\xff", 2147483647}};
  ASSERT_EQ(1, ListOf(entries).Save(path));
  EXPECT_EQ(WriteTextListFile(ListOf(entries)), test::ReadFileBytes(path));
  TextList list = ListOf({{"stale", 9}});
  ASSERT_EQ(1, list.Load(path));
  EXPECT_EQ(entries, EntriesOf(list));
  EXPECT_FALSE(std::filesystem::exists(path + ".new"));
  // A missing file leaves the list alone; an emptied list is not saved, the file keeps its bytes.
  EXPECT_EQ(0, list.Load(dir.File("absent.txt")));
  EXPECT_EQ(entries, EntriesOf(list));
  EXPECT_EQ(0, ListOf({{"k", 1}}).Save(dir.File("missing/bad.txt")));
  EXPECT_EQ(0, TextList().Save(dir.File("never.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("never.txt")));
  test::WriteFileBytes(path, "\r\n\r\n");
  ASSERT_EQ(1, list.Load(path));
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(0, list.Save(path));
  EXPECT_EQ("\r\n\r\n", test::ReadFileBytes(path));
}

}  // namespace
}  // namespace qm
