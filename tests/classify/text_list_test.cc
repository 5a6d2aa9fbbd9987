#include "classify/text_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// --- Find ------------------------------------------------------------------------------------

struct FindCase {
  const char* name;
  std::string key;
  int length;
  std::int32_t value;
};

class TextListFindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(TextListFindTest, MatchesStoredKeyOrStoredPrefix) {
  const TextList list = ListOf({{"john@", 7}, {"mary@example.org", -3}, {"mar", 2}, {"z", 0}});
  const FindCase& c = GetParam();
  std::int32_t value = 12345;
  EXPECT_EQ(c.length, list.Find(c.key, &value));
  EXPECT_EQ(c.length ? c.value : 12345, value) << "the number is written only on a match";
  EXPECT_EQ(c.length, list.Find(c.key)) << "the number output is optional";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, TextListFindTest,
    ::testing::Values(FindCase{"Exact", "john@", 5, 7},
                      FindCase{"StoredPrefixCoversLongerKey", "john@example.com", 5, 7},
                      FindCase{"ShorterThanStoredKey", "joh", 0, 0}, FindCase{"Empty", "", 0, 0},
                      FindCase{"NoSuchFirstByte", "q", 0, 0},
                      FindCase{"DivergesInside", "john.doe@", 0, 0},
                      // "mar" was inserted after "mary@example.org" and replaced it.
                      FindCase{"ShorterKeyReplacedLonger", "mary@example.org", 3, 2},
                      FindCase{"SingleByteKey", "zebra", 1, 0},
                      FindCase{"HighByteNotMistakenForLow", "\xe9", 0, 0}),
    [](const ::testing::TestParamInfo<FindCase>& param) { return param.param.name; });

// --- Insert and Remove -----------------------------------------------------------------------

TEST(TextListTest, InsertOfKeyExtendingStoredKeyStoresNothing) {
  TextList list = ListOf({{"abc", 1}});
  list.Insert("abcdef", 2);
  EXPECT_EQ((Entries{{"abc", 1}}), EntriesOf(list));
}

TEST(TextListTest, InsertOfPrefixReplacesEveryKeyItCovers) {
  TextList list = ListOf({{"abc", 1}, {"abd", 2}, {"ab", 9}, {"b", 3}});
  EXPECT_EQ((Entries{{"ab", 9}, {"b", 3}}), EntriesOf(list));
  EXPECT_EQ(0, list.Remove("abc")) << "replaced keys are gone, not hidden";
}

TEST(TextListTest, InsertOfStoredKeyReplacesItsNumber) {
  TextList list = ListOf({{"key", 1}, {"key", -8}});
  EXPECT_EQ((Entries{{"key", -8}}), EntriesOf(list));
}

TEST(TextListTest, EmptyKeyIsNeverStored) {
  TextList list = ListOf({{"a", 1}});
  list.Insert("", 5);
  EXPECT_EQ((Entries{{"a", 1}}), EntriesOf(list)) << "the empty key must not wipe the list";
  EXPECT_EQ(0, list.Remove(""));
  TextList empty;
  empty.Insert("", 5);
  EXPECT_TRUE(empty.Empty());
}

TEST(TextListTest, RemoveNeedsTheExactKey) {
  TextList list = ListOf({{"abc", 1}, {"abx", 2}});
  EXPECT_EQ(0, list.Remove("abcd")) << "only a prefix of it is stored";
  EXPECT_EQ(0, list.Remove("ab")) << "it is only a prefix of stored keys";
  EXPECT_EQ(0, list.Remove("zzz"));
  EXPECT_EQ((Entries{{"abc", 1}, {"abx", 2}}), EntriesOf(list));
  EXPECT_EQ(1, list.Remove("abc"));
  EXPECT_EQ(0, list.Remove("abc"));
}

TEST(TextListTest, RemovePrunesNodesSoShorterKeysCanBeStoredAgain) {
  TextList list = ListOf({{"abcdef", 1}, {"abx", 2}, {"q", 3}});
  EXPECT_EQ(1, list.Remove("abcdef"));
  EXPECT_EQ(0, list.Find("abcdef"));
  EXPECT_EQ(0, list.Find("abc")) << "no node of the removed key may remain as a dead end";
  EXPECT_EQ((Entries{{"abx", 2}, {"q", 3}}), EntriesOf(list));
  // A pruned path must accept a key ending half-way along it as a new leaf.
  list.Insert("abc", 4);
  EXPECT_EQ(3, list.Find("abcdef"));
  EXPECT_EQ((Entries{{"abc", 4}, {"abx", 2}, {"q", 3}}), EntriesOf(list));
}

TEST(TextListTest, RemovingTheLastKeyEmptiesTheList) {
  TextList list = ListOf({{"only", 1}});
  EXPECT_FALSE(list.Empty());
  EXPECT_EQ(1, list.Remove("only"));
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(0, list.ForEach([](std::string_view, std::int32_t) { return 1; }));
  list.Insert("again", 2);
  EXPECT_EQ((Entries{{"again", 2}}), EntriesOf(list));
}

TEST(TextListTest, ClearDropsEverythingAndTheListStaysUsable) {
  TextList list = ListOf({{"a", 1}, {"bc", 2}});
  list.Clear();
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(0, list.Find("a"));
  list.Insert("bcd", 3);
  EXPECT_EQ((Entries{{"bcd", 3}}), EntriesOf(list));
}

// --- ForEach ---------------------------------------------------------------------------------

TEST(TextListTest, ForEachVisitsInUnsignedByteOrder) {
  const TextList list = ListOf(
      {{"\xff", 1}, {"b", 2}, {"\x80x", 3}, {"a\xe9", 4}, {"a\x01", 5}, {std::string(1, '\0'), 6}});
  EXPECT_EQ((Entries{{std::string(1, '\0'), 6},
                     {"a\x01", 5},
                     {"a\xe9", 4},
                     {"b", 2},
                     {"\x80x", 3},
                     {"\xff", 1}}),
            EntriesOf(list));
  EXPECT_EQ(2, list.Find("\x80xyz"));
  EXPECT_EQ(1, list.Find("\xff"));
}

TEST(TextListTest, ForEachStopsAtTheFirstRefusal) {
  const TextList list = ListOf({{"a", 1}, {"b", 2}, {"c", 3}});
  std::vector<std::string> seen;
  EXPECT_EQ(0, list.ForEach([&seen](std::string_view key, std::int32_t) {
    seen.emplace_back(key);
    return key == "b" ? 0 : 1;
  }));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), seen);
  EXPECT_EQ(0, TextList().ForEach([](std::string_view, std::int32_t) { return 1; }));
}

// --- Against a plain model -------------------------------------------------------------------

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
      ASSERT_EQ(model.Find(key, expected), list.Find(key, &actual)) << "step " << step;
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

// --- Long keys -------------------------------------------------------------------------------

TEST(TextListTest, VeryLongKeysNeedNoDeepRecursion) {
  const std::string deep(300000, 'x');
  {
    TextList list;
    list.Insert(deep, 1);
    list.Insert(deep + "y", 2);
    EXPECT_EQ(static_cast<int>(deep.size()), list.Find(deep + "tail"));
    TextList copy = list;
    EXPECT_EQ(1, copy.ForEach([&](std::string_view key, std::int32_t) { return key == deep; }));
    EXPECT_EQ(1, copy.Remove(deep));
    EXPECT_TRUE(copy.Empty());
    list.Insert(deep.substr(0, 10), 3);  // frees the deep path
    EXPECT_EQ((Entries{{deep.substr(0, 10), 3}}), EntriesOf(list));
    list.Insert(deep, 4);
  }  // destroys a list holding the deep path
  SUCCEED();
}

// --- File format -----------------------------------------------------------------------------

TEST(TextListFileTest, WritesNumberSpaceKeyNulAndCrCrLfInKeyOrder) {
  const TextList list = ListOf({{"zed@", 0}, {"a b@x", -17}, {"\xe9t\xe9@", 2147483647}});
  const std::string end("\0\r\r\n", 4);
  EXPECT_EQ("-17 a b@x" + end + "0 zed@" + end + "2147483647 \xe9t\xe9@" + end,
            WriteTextListFile(list));
  EXPECT_EQ("", WriteTextListFile(TextList()));
}

TEST(TextListFileTest, WriterLeavesOutKeysThatWouldLoadAsOtherKeys) {
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
  EXPECT_FALSE(TextListEntryFits(longest, -10));
  EXPECT_FALSE(TextListEntryFits("", 0));
}

struct ReadCase {
  const char* name;
  std::string bytes;
  Entries entries;
};

class TextListReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(TextListReadTest, ReadsEntries) {
  TextList list = ListOf({{"stale", 1}});
  ReadTextListFile(GetParam().bytes, list);
  EXPECT_EQ(GetParam().entries, EntriesOf(list));
}

std::string Nul(const char* text) { return std::string(text) + '\0'; }

INSTANTIATE_TEST_SUITE_P(
    Lines, TextListReadTest,
    ::testing::Values(
        ReadCase{"Empty", "", {}}, ReadCase{"OnlyBlankLines", "\r\n\n  \t\r\n\r\r\n", {}},
        ReadCase{
            "CrCrLf", Nul("1 a@") + "\r\r\n" + Nul("-2 b@") + "\r\r\n", {{"a@", 1}, {"b@", -2}}},
        ReadCase{"CrLf", "1 a@\r\n2 b@\r\n", {{"a@", 1}, {"b@", 2}}},
        ReadCase{"Lf", "1 a@\n2 b@\n", {{"a@", 1}, {"b@", 2}}},
        ReadCase{"NoFinalLineEnd", "1 a@\n2 b@", {{"a@", 1}, {"b@", 2}}},
        ReadCase{"LoneCrIsNoLineEnd", "1 a\rb\n", {{"a\rb", 1}}},
        ReadCase{"KeyWithSpaces", "0 John Doe <j@x>\n", {{"John Doe <j@x>", 0}}},
        ReadCase{"SpaceBeforeKeyKept", "5  x\n", {{" x", 5}}},
        ReadCase{"NoSpaceIsItsOwnKey", "john@\n", {{"john@", 0}}},
        ReadCase{"NoSpaceLeadingDigits", "42abc\n", {{"42abc", 42}}},
        ReadCase{"OnlyANumber", "17 \r\n", {{"17", 17}}}, ReadCase{"NoNumber", "x y\n", {{"y", 0}}},
        ReadCase{"PlusSign", "+8 k\n", {{"k", 8}}},
        ReadCase{"NumberSaturatesHigh", "99999999999 k\n", {{"k", 2147483647}}},
        ReadCase{"NumberSaturatesLow", "-99999999999 k\n", {{"k", -2147483647 - 1}}},
        ReadCase{"SurroundingWhiteSpaceStripped", " \t 3 key \t\r\n", {{"key", 3}}},
        ReadCase{"CutAtNul", Nul("1 a") + "junk\n" + Nul("") + "2 b\n", {{"a", 1}}},
        ReadCase{"LaterLineReplacesNumber", "1 k\n2 k\n", {{"k", 2}}},
        ReadCase{"PrefixLineCoversLongerOnes", "1 ab@\n2 a\n3 abc\n", {{"a", 2}}},
        ReadCase{"HighBytes", "1 \xc3\xa9@\n", {{"\xc3\xa9@", 1}}},
        // 1023 bytes make one piece; the rest of the line is read as an entry of its own.
        ReadCase{"OverLongLineSplits",
                 "7 " + std::string(1021, 'a') + "12 tail\n",
                 {{std::string(1021, 'a'), 7}, {"tail", 12}}},
        ReadCase{"LineOfExactlyOnePiece",
                 "7 " + std::string(1021, 'a') + "\r\n1 b\n",
                 {{std::string(1021, 'a'), 7}, {"b", 1}}}),
    [](const ::testing::TestParamInfo<ReadCase>& param) { return param.param.name; });

// --- Load and Save ---------------------------------------------------------------------------

TEST(TextListFileTest, SaveAndLoadRoundTrip) {
  ScratchDirectory dir;
  const Entries entries{{"a b c@", 0}, {"bad@", -5}, {"x", 1}, {"\x80\xff", 2147483647}};
  ASSERT_EQ(1, ListOf(entries).Save(dir.File("friend.txt")));
  EXPECT_EQ(WriteTextListFile(ListOf(entries)), ReadAll(dir.File("friend.txt")));
  TextList loaded = ListOf({{"stale", 9}});
  ASSERT_EQ(1, loaded.Load(dir.File("friend.txt")));
  EXPECT_EQ(entries, EntriesOf(loaded));
  EXPECT_FALSE(std::filesystem::exists(dir.File("friend.txt.new")));
}

TEST(TextListFileTest, SaveReplacesAnOlderFile) {
  ScratchDirectory dir;
  WriteAll(dir.File("bad.txt"), "1 old\n1 older\n1 oldest\n");
  ASSERT_EQ(1, ListOf({{"new", 2}}).Save(dir.File("bad.txt")));
  EXPECT_EQ(std::string("2 new\0\r\r\n", 9), ReadAll(dir.File("bad.txt")));
}

TEST(TextListFileTest, EmptyListIsNotSaved) {
  ScratchDirectory dir;
  WriteAll(dir.File("bad.txt"), "0 old\n");
  TextList list = ListOf({{"gone", 1}});
  ASSERT_EQ(1, list.Remove("gone"));
  EXPECT_EQ(0, list.Save(dir.File("bad.txt")));
  EXPECT_EQ("0 old\n", ReadAll(dir.File("bad.txt")));
  EXPECT_EQ(0, TextList().Save(dir.File("never.txt")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("never.txt")));
}

TEST(TextListFileTest, SaveIntoMissingDirectoryFails) {
  ScratchDirectory dir;
  EXPECT_EQ(0, ListOf({{"k", 1}}).Save(dir.File("missing/bad.txt")));
}

TEST(TextListFileTest, LoadOfMissingFileLeavesListAlone) {
  ScratchDirectory dir;
  TextList list = ListOf({{"kept", 1}});
  EXPECT_EQ(0, list.Load(dir.File("absent.txt")));
  EXPECT_EQ((Entries{{"kept", 1}}), EntriesOf(list));
}

TEST(TextListFileTest, LoadOfFileWithoutEntriesEmptiesList) {
  ScratchDirectory dir;
  WriteAll(dir.File("blank.txt"), "\r\n\r\n");
  TextList list = ListOf({{"stale", 1}});
  EXPECT_EQ(1, list.Load(dir.File("blank.txt")));
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(0, list.Save(dir.File("blank.txt")));
  EXPECT_EQ("\r\n\r\n", ReadAll(dir.File("blank.txt")));
}

}  // namespace
}  // namespace qm
