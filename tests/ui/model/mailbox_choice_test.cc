#include "ui/model/mailbox_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"

namespace qm {
namespace {

class MailboxChoiceTest : public test::MailboxSetTest {
 protected:
  void Add(const std::vector<std::string>& names) {
    for (const std::string& name : names) ASSERT_GE(set.Add(name), 0) << name;
  }

  CMailboxSet set{profile};
};

TEST_F(MailboxChoiceTest, TheShownMailboxIsFoundWhereverItMoved) {
  Add({"a", "b", "c"});
  ASSERT_EQ(set.MoveUp(2), 1);  // a c b
  EXPECT_EQ(MailboxAfterSettings(set, std::string("b")), 2);
  EXPECT_EQ(MailboxAfterSettings(set, std::string("c")), 1);
}

TEST_F(MailboxChoiceTest, AGoneMailboxGivesTheFirst) {
  Add({"a", "b"});
  ASSERT_EQ(set.Remove(1), 1);
  EXPECT_EQ(MailboxAfterSettings(set, std::string("b")), 0);
}

TEST_F(MailboxChoiceTest, NothingShownOrNothingLeftShowsNothing) {
  EXPECT_EQ(MailboxAfterSettings(set, std::string("a")), -1);
  Add({"a"});
  EXPECT_EQ(MailboxAfterSettings(set, std::nullopt), -1);
}

}  // namespace
}  // namespace qm
