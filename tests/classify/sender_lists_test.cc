#include "classify/sender_lists.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "support/scratch_directory.h"

namespace qm {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SenderListsTest, AddingToOneListTakesTheAddressOutOfTheOther) {
  CSenderLists lists;
  EXPECT_TRUE(lists.AddFriend("a@x.jp"));
  EXPECT_TRUE(lists.AddBad("a@x.jp"));
  EXPECT_FALSE(lists.InFriendList("a@x.jp"));
  EXPECT_TRUE(lists.InBadList("a@x.jp"));
  EXPECT_TRUE(lists.AddFriend("a@x.jp"));
  EXPECT_FALSE(lists.InBadList("a@x.jp"));
  EXPECT_FALSE(lists.RemoveBad("a@x.jp"));
  EXPECT_TRUE(lists.RemoveFriend("a@x.jp"));
}

TEST(SenderListsTest, ChangedListsAreSavedAndAnEmptiedListStaysEmpty) {
  ScratchDirectory dir;
  {
    CSenderLists lists;
    lists.AddFriend("b@x.jp");
    lists.AddFriend("a@x.jp");
    lists.AddBad("spam@");
    EXPECT_TRUE(lists.Changed());
    ASSERT_TRUE(lists.SaveChanged(dir.Path()));
    EXPECT_FALSE(lists.Changed());
  }
  EXPECT_EQ(ReadAll(dir.File("friend.txt")), std::string("0 a@x.jp\0\r\r\n0 b@x.jp\0\r\r\n", 24));
  CSenderLists loaded;
  loaded.Load(dir.Path());
  EXPECT_EQ(loaded.FriendEntries(), (std::vector<std::string>{"a@x.jp", "b@x.jp"}));
  EXPECT_TRUE(loaded.InBadList("spam@anywhere.example"));
  // Removing the last entry must not bring it back at the next start.
  loaded.RemoveBad("spam@");
  ASSERT_TRUE(loaded.SaveChanged(dir.Path()));
  CSenderLists again;
  again.Load(dir.Path());
  EXPECT_FALSE(again.InBadList("spam@anywhere.example"));
}

TEST(SenderListsTest, EditorAddsToOneListAndLeavesTheOther) {
  ScratchDirectory dir;
  {
    CSenderLists lists;
    lists.AddBad("a@x.jp");
    ASSERT_TRUE(lists.SaveChanged(dir.Path()));
  }
  CSenderLists lists;
  lists.Load(dir.Path());
  EXPECT_FALSE(lists.AddTo(SenderList::Friend, ""));
  EXPECT_FALSE(lists.Changed());
  EXPECT_TRUE(lists.AddTo(SenderList::Friend, "a@x.jp"));
  EXPECT_TRUE(lists.AddTo(SenderList::Friend, "a@x.jp"));
  EXPECT_EQ(lists.Entries(SenderList::Friend), std::vector<std::string>{"a@x.jp"});
  EXPECT_EQ(lists.Entries(SenderList::Bad), std::vector<std::string>{"a@x.jp"});
  EXPECT_TRUE(lists.Changed());
  // Only the friend list is marked: the bad list's file is not rewritten.
  std::ofstream(dir.File("bad.txt"), std::ios::binary) << "sentinel";
  ASSERT_TRUE(lists.SaveChanged(dir.Path()));
  EXPECT_EQ(ReadAll(dir.File("bad.txt")), "sentinel");
  EXPECT_EQ(ReadAll(dir.File("friend.txt")), std::string("0 a@x.jp\0\r\r\n", 12));

  EXPECT_TRUE(lists.RemoveFrom(SenderList::Bad, "a@x.jp"));
  EXPECT_FALSE(lists.RemoveFrom(SenderList::Bad, "a@x.jp"));
  EXPECT_TRUE(lists.InFriendList("a@x.jp"));
  EXPECT_TRUE(lists.AddTo(SenderList::Bad, "b@x.jp"));
  EXPECT_TRUE(lists.InFriendList("a@x.jp"));
  EXPECT_TRUE(lists.RemoveFrom(SenderList::Friend, "a@x.jp"));
  EXPECT_TRUE(lists.Entries(SenderList::Friend).empty());
}

TEST(SenderListsTest, EntriesComeInUnsignedByteOrderWithFullKeys) {
  CSenderLists lists;
  const std::string longAddress = std::string(150, 'l') + "@x.jp";
  for (const char* key : {"b@x.jp", "\xff@x.jp", "B@x.jp", "a@x.jp"}) {
    lists.AddTo(SenderList::Bad, key);
  }
  lists.AddTo(SenderList::Bad, longAddress);
  EXPECT_EQ(lists.Entries(SenderList::Bad),
            (std::vector<std::string>{"B@x.jp", "a@x.jp", "b@x.jp", longAddress, "\xff@x.jp"}));
  EXPECT_EQ(lists.Entries(SenderList::Bad), lists.BadEntries());
  EXPECT_TRUE(lists.Entries(SenderList::Friend).empty());
}

}  // namespace
}  // namespace qm
