#include "classify/sender_lists.h"

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

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
