#include "classify/text_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "classify/sender_lists.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"
#include "support/words.h"

namespace qm {
using namespace std::string_literals;
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

// Random operations against a sorted map (which compares bytes as unsigned): a stored key covers
// every longer key it is the start of.
TEST(TextListTest, RandomOperationsAgreeWithAPlainModel) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  const std::pair<std::string, std::size_t> shapes[] = {
      {std::string("\0a\x7f\x80\xff", 5), 5}, {"ab", 14}, {everyByte, 2}, {"u0@.", 10}};
  for (const auto& [alphabet, maxLength] : shapes) {
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
      std::string key(random() % 8 ? maxLength / 2 + random() % (maxLength / 2 + 1)
                                   : random() % (maxLength + 1),
                      ' ');
      for (char& c : key) c = alphabet[random() % alphabet.size()];
      if (!model.empty() && random() % 4 == 0) {  // a stored key, a prefix or an extension of one
        const std::string& stored =
            std::next(model.begin(), random() % std::min<std::size_t>(model.size(), 256))->first;
        key = random() % 2 ? stored : stored.substr(0, random() % (stored.size() + 1)) + key;
      }
      const auto value = static_cast<std::int32_t>(random());
      std::int32_t expected = -77, actual = -77;  // left alone on a miss
      if (const int op = random() % 4; op < 2) {
        list.Insert(key, value);
        if (key.empty() || modelFind(key.substr(0, key.size() - 1), expected)) continue;
        for (auto it = model.lower_bound(key); it != model.end() && it->first.starts_with(key);) {
          it = model.erase(it);
        }
        model[key] = value;
      } else if (op == 2) {
        ASSERT_EQ(static_cast<int>(model.erase(key)), list.Remove(key)) << step;
      } else {
        ASSERT_EQ(modelFind(key, expected), list.Find(key, &actual)) << step;
        ASSERT_EQ(modelFind(key, expected), list.Find(key)) << step;
        ASSERT_EQ(expected, actual) << step;
      }
      if (step % 997 == 0) {
        ASSERT_EQ(Entries(model.begin(), model.end()), EntriesOf(TextList(list))) << step;
        ASSERT_EQ(model.empty(), list.Empty());
      }
    }
    for (const auto& [key, value] : model) ASSERT_EQ(1, list.Remove(key));
    EXPECT_TRUE(list.Empty());
    list.Insert("again", 1);  // nothing left behind that a later key could trip over
    EXPECT_EQ((Entries{{"again", 1}}), EntriesOf(list));
  }
  // Very long keys need no deep recursion, neither to copy, remove, replace nor destroy.
  const std::string deep(300000, 'x');
  TextList list = ListOf({{deep, 1}, {deep + "y", 2}});
  EXPECT_EQ(static_cast<int>(deep.size()), list.Find(deep + "tail"));
  TextList copy = list;
  EXPECT_EQ(1, copy.Remove(deep));
  list.Insert(deep.substr(0, 10), 3);
  EXPECT_EQ((Entries{{deep.substr(0, 10), 3}}), EntriesOf(list));
  list.Insert(deep, 4);
}

// Files are read a line (or 1023-byte piece) at a time; every prefix of a file reads too.
TEST(TextListFileTest, ReadsLinesAndWritesKeysThatReadAsThemselves) {
  const auto nul = [](const char* text) { return std::string(text) + '\0'; };
  const std::string piece(1021, 'a');
  const std::pair<std::string, Entries> cases[] = {
      {"\r\n\n  \t\r\n\r\r\n", {}},
      {nul("1 a@") + "\r\r\n" + nul("-2 b@") + "\r\r\n", {{"a@", 1}, {"b@", -2}}},
      {"1 a@\r\n2 b@\r\n", {{"a@", 1}, {"b@", 2}}},
      {"1 a@\n2 b\rc", {{"a@", 1}, {"b\rc", 2}}},  // a lone CR is no line end
      {"0 John Doe <j@x>\n5  x\n", {{" x", 5}, {"John Doe <j@x>", 0}}},
      {"john@\n42abc\n17 \r\nx y\n+8 k\n",
       {{"17", 17}, {"42abc", 42}, {"john@", 0}, {"k", 8}, {"y", 0}}},
      {"99999999999 k\n-99999999999 l\n", {{"k", 2147483647}, {"l", -2147483647 - 1}}},
      {" \t 3 key \t\r\n1 \xc3\xa9@\n", {{"key", 3}, {"\xc3\xa9@", 1}}},
      {nul("1 a") + "junk\n" + nul("") + "2 b\n", {{"a", 1}}},  // cut at NUL
      {"1 k\n2 k\n1 ab@\n2 a\n3 abc\n", {{"a", 2}, {"k", 2}}},
      {"7 " + piece + "12 tail\n", {{piece, 7}, {"tail", 12}}},
      {"7 " + piece + "\r\n1 b\n", {{piece, 7}, {"b", 1}}},
  };
  for (const auto& [bytes, entries] : cases) {
    TextList list = ListOf({{"stale", 1}});
    ReadTextListFile(bytes, list);
    EXPECT_EQ(entries, EntriesOf(list)) << bytes.substr(0, 40);
    for (std::size_t n = 0; n <= bytes.size(); ++n) ReadTextListFile(bytes.substr(0, n), list);
  }
  const std::string end("\0\r\r\n", 4), longest(1023 - 4, 'k');  // "-1 " + key + NUL: one piece
  const TextList list = ListOf({{"zed@", 0}, {"a b@x", -17}, {"\xe9t\xe9@", 2147483647}});
  EXPECT_EQ(WriteTextListFile(list),
            "-17 a b@x" + end + "0 zed@" + end + "2147483647 \xe9t\xe9@" + end);
  // Keys that cannot be written as a line of their own are left out.
  TextList back;
  ReadTextListFile(WriteTextListFile(ListOf({{"inner\nline", 1},
                                             {std::string("nul\0x", 5), 1},
                                             {"trail ", 1},
                                             {"tab\t", 1},
                                             {"cr\r", 1},
                                             {"ctrl\x1az", 1},
                                             {longest, -1},
                                             {std::string(1021, 'm'), 0},
                                             {"mid\rcr", 2},
                                             {" lead", 3}})),
                   back);
  EXPECT_EQ((Entries{{" lead", 3}, {longest, -1}, {"mid\rcr", 2}}), EntriesOf(back));
}

TEST(SenderListsTest, SavesOnlyChangedListsAndLoadsWhatItSaved) {
  ScratchDirectory dir;
  CSenderLists lists;
  EXPECT_TRUE(lists.AddFriend("a@x.jp") && lists.AddBad("a@x.jp") && lists.AddBad("spam@"));
  EXPECT_FALSE(lists.InFriendList("a@x.jp") || lists.AddTo(SenderList::Friend, ""));
  ASSERT_TRUE(lists.SaveChanged(dir.Path()));
  CSenderLists again;
  again.Load(dir.Path());
  EXPECT_TRUE(again.InBadList("spam@anywhere.example") &&
              again.AddTo(SenderList::Friend, "b@x.jp"));
  test::WriteFileBytes(dir.File("bad.txt"), "sentinel");
  ASSERT_TRUE(again.SaveChanged(dir.Path()));
  EXPECT_EQ(test::ReadFileBytes(dir.File("bad.txt")), "sentinel");
  // The editor's add leaves the other list alone; a list emptied must not come back at the next
  // start.
  EXPECT_TRUE(again.AddTo(SenderList::Bad, "b@x.jp") && again.InFriendList("b@x.jp"));
  EXPECT_TRUE(again.RemoveFrom(SenderList::Friend, "b@x.jp"));
  EXPECT_FALSE(again.RemoveFrom(SenderList::Friend, "b@x.jp"));
  const std::string longAddress = std::string(150, 'l') + "@x.jp";
  for (const std::string& key : {"\xff@x.jp"s, "B@x.jp"s, longAddress})
    again.AddTo(SenderList::Bad, key);
  ASSERT_TRUE(again.SaveChanged(dir.Path()));
  CSenderLists third;
  third.Load(dir.Path());
  EXPECT_TRUE(third.FriendEntries().empty());
  EXPECT_EQ(third.BadEntries(),
            test::Words("B@x.jp a@x.jp b@x.jp " + longAddress + " spam@ \xff@x.jp"));
  // A missing file leaves a list alone; an empty list is never saved over a file.
  TextList list = ListOf({{"k", 9}});
  EXPECT_EQ(0, list.Load(dir.File("absent.txt")) + list.Save(dir.File("missing/bad.txt")));
  EXPECT_EQ((Entries{{"k", 9}}), EntriesOf(list));
  test::WriteFileBytes(dir.File("bad.txt"), "\r\n\r\n");
  ASSERT_EQ(1, list.Load(dir.File("bad.txt")));
  EXPECT_EQ(0, list.Save(dir.File("bad.txt")) + TextList().Save(dir.File("never.txt")));
  EXPECT_EQ(test::ReadFileBytes(dir.File("bad.txt")), "\r\n\r\n");
  EXPECT_FALSE(std::filesystem::exists(dir.File("never.txt")) ||
               std::filesystem::exists(dir.File("bad.txt.new")));
}

}  // namespace
}  // namespace qm
