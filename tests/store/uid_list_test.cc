#include "store/uid_list.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

// The list is found by id but keeps its order, its duplicates and its cursor as a plain list.
TEST(UidListTest, FindsTheFirstPairOfAnIdThroughTakesAppendsAndClears) {
  CUidList list;
  list.Add("a", "1");
  list.Add("b", "2");
  list.Add("a", "3");
  std::string id;
  EXPECT_EQ(list.Find("a", id), 1);
  EXPECT_EQ(id, "1");
  EXPECT_EQ(list.Find("c", id), 0);

  std::string uidl;
  std::string messageId;
  list.Rewind();
  ASSERT_EQ(list.Next(uidl, messageId), 1);
  ASSERT_EQ(list.Next(uidl, messageId), 1);
  EXPECT_EQ(list.Take("a", id), 1);
  EXPECT_EQ(id, "1");
  EXPECT_EQ(list.Find("a", id), 1);
  EXPECT_EQ(id, "3");
  // The cursor moved up with the pairs after the one taken.
  ASSERT_EQ(list.Next(uidl, messageId), 1);
  EXPECT_EQ(uidl + messageId, "a3");

  list.AppendAll(list);
  EXPECT_EQ(list.Count(), 4u);
  EXPECT_EQ(list.Take("b", id), 1);
  EXPECT_EQ(list.Take("b", id), 1);
  EXPECT_EQ(list.Take("b", id), 0);
  list.Clear();
  EXPECT_EQ(list.Find("a", id), 0);
}

}  // namespace
}  // namespace qm
