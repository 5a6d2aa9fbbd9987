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

}  // namespace
}  // namespace qm
