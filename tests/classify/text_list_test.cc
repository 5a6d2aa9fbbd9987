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

#include "classify/sender_lists.h"
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

// Random operations against the list's behaviour written out naively over a sorted map (which
// compares bytes as unsigned): a stored key covers every longer key it is the start of.
TEST(TextListTest, RandomOperationsAgreeWithAPlainModel) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  const struct {
    std::string alphabet;
    std::size_t maxLength;
  } shapes[] = {{std::string("\0a\x7f\x80\xff", 5), 5}, {"ab", 14}, {everyByte, 2}, {"u0@.", 10}};
  for (const auto& shape : shapes) {
    std::mt19937 random(20240601);
    std::map<std::string, std::int32_t> model;
    const auto modelFind = [&model](const std::string& key, std::int32_t& value) {
      for (std::size_t n = 1; n <= key.size(); ++n) {
        if (const auto it = model.find(key.substr(0, n)); it != model.end()) {
          value = it->second;
          return static_cast<int>(n);
        }
      }
      return 0;
    };
    TextList list;
    for (int step = 0; step < 20000; ++step) {
      std::string key(random() % 8 ? shape.maxLength / 2 + random() % (shape.maxLength / 2 + 1)
                                   : random() % (shape.maxLength + 1),
                      ' ');
      for (char& c : key) c = shape.alphabet[random() % shape.alphabet.size()];
      // Now and then a stored key itself, a prefix or an extension of one.
      if (!model.empty() && random() % 4 == 0) {
        const std::string& stored =
            std::next(model.begin(), random() % std::min<std::size_t>(model.size(), 256))->first;
        key = random() % 2 ? stored : stored.substr(0, random() % (stored.size() + 1)) + key;
      }
      const auto value = static_cast<std::int32_t>(random());
      std::int32_t expected = -77, actual = -77;  // left alone on a miss
      switch (random() % 4) {
        case 0:
        case 1:
          list.Insert(key, value);
          if (key.empty() || modelFind(key.substr(0, key.size() - 1), expected)) break;
          for (auto it = model.lower_bound(key); it != model.end() && it->first.starts_with(key);) {
            it = model.erase(it);
          }
          model[key] = value;
          break;
        case 2:
          ASSERT_EQ(static_cast<int>(model.erase(key)), list.Remove(key)) << step;
          break;
        default:
          ASSERT_EQ(modelFind(key, expected), list.Find(key, &actual)) << step;
          ASSERT_EQ(modelFind(key, expected), list.Find(key)) << step;
          ASSERT_EQ(expected, actual) << step;
      }
      if (step % 997 == 0) {
        ASSERT_EQ(Entries(model.begin(), model.end()), EntriesOf(TextList(list))) << step;
        ASSERT_EQ(model.empty(), list.Empty());
      }
    }
    // Emptying the list key by key leaves nothing behind that a later key could trip over.
    for (const auto& [key, value] : model) ASSERT_EQ(1, list.Remove(key));
    EXPECT_TRUE(list.Empty());
    list.Insert("again", 1);
    EXPECT_EQ((Entries{{"again", 1}}), EntriesOf(list));
  }
  std::vector<std::string> seen;  // a refusal stops the walk
  EXPECT_EQ(0,
            ListOf({{"a", 1}, {"b", 2}, {"c", 3}}).ForEach([&](std::string_view k, std::int32_t) {
              seen.emplace_back(k);
              return k == "b" ? 0 : 1;
            }));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
}

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

using Keys = std::vector<std::string>;

TEST(SenderListsTest, OneListAtATimeSavedOnlyWhenChanged) {
  ScratchDirectory dir;
  {
    CSenderLists lists;
    EXPECT_TRUE(lists.AddFriend("a@x.jp") && lists.AddBad("a@x.jp") && lists.AddBad("spam@"));
    EXPECT_FALSE(lists.InFriendList("a@x.jp"));  // adding to one list takes it out of the other
    EXPECT_FALSE(lists.AddTo(SenderList::Friend, ""));
    ASSERT_TRUE(lists.SaveChanged(dir.Path()));
    EXPECT_FALSE(lists.Changed());
  }
  CSenderLists lists;
  lists.Load(dir.Path());
  EXPECT_TRUE(lists.InBadList("spam@anywhere.example"));
  EXPECT_TRUE(lists.AddTo(SenderList::Friend, "b@x.jp"));
  // Only the friend list is marked: the bad list's file is not rewritten.
  test::WriteFileBytes(dir.File("bad.txt"), "sentinel");
  ASSERT_TRUE(lists.SaveChanged(dir.Path()));
  EXPECT_EQ(test::ReadFileBytes(dir.File("bad.txt")), "sentinel");
  EXPECT_EQ(test::ReadFileBytes(dir.File("friend.txt")), std::string("0 b@x.jp\0\r\r\n", 12));
  // The editor's add leaves the other list alone; removing the last entry must not bring it
  // back at the next start.
  EXPECT_TRUE(lists.AddTo(SenderList::Bad, "b@x.jp"));
  EXPECT_TRUE(lists.InFriendList("b@x.jp"));
  EXPECT_TRUE(lists.RemoveFrom(SenderList::Friend, "b@x.jp"));
  EXPECT_FALSE(lists.RemoveFrom(SenderList::Friend, "b@x.jp"));
  ASSERT_TRUE(lists.SaveChanged(dir.Path()));
  CSenderLists again;
  again.Load(dir.Path());
  EXPECT_EQ(again.FriendEntries(), Keys{});
  EXPECT_EQ(again.BadEntries(), (Keys{"a@x.jp", "b@x.jp", "spam@"}));
}

TEST(SenderListsTest, EntriesComeInUnsignedByteOrderWithFullKeys) {
  CSenderLists lists;
  const std::string longAddress = std::string(150, 'l') + "@x.jp";
  for (const std::string key : {"b@x.jp", "\xff@x.jp", "B@x.jp", "a@x.jp", longAddress.c_str()}) {
    lists.AddTo(SenderList::Bad, key);
  }
  EXPECT_EQ(lists.Entries(SenderList::Bad),
            (Keys{"B@x.jp", "a@x.jp", "b@x.jp", longAddress, "\xff@x.jp"}));
}

}  // namespace
}  // namespace qm
