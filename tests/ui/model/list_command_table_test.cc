#include "ui/model/list_command_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace qm {
namespace {

const ListCommandInfo& Info(int id) {
  const ListCommandInfo* info = FindListCommand(id);
  EXPECT_NE(info, nullptr) << id;
  static const ListCommandInfo kMissing{0, "", "", "", ""};
  return info != nullptr ? *info : kMissing;
}

// The texts themselves are the table's; the rules that build menu items and tips from them are
// tested here.
TEST(ListCommandTableTest, MenuItemsToolTipsAndPlainLabels) {
  EXPECT_EQ(MenuItemText(Info(CmdUnhide)), "隠さない(&I)\tShift + H");
  EXPECT_EQ(MenuItemText(Info(CmdSelectRead)), "既読メール(&O)");
  EXPECT_EQ(ToolTipText(Info(CmdReceive)), "メール受信");
  EXPECT_EQ(ToolTipText(Info(CmdViewMail)), "メールの表示");
  EXPECT_EQ(PlainLabel(Info(CmdOptions)), "動作オプション");
  EXPECT_EQ(FindListCommand(12345), nullptr);
}

TEST(ListCommandTableTest, MenusAreBuiltFromKnownCommandsOnly) {
  const auto menus = MainMenus();
  ASSERT_EQ(menus.size(), 6u);
  std::vector<std::string> titles;
  for (const ListMenu& menu : menus) titles.emplace_back(menu.title);
  EXPECT_EQ(titles, (std::vector<std::string>{"メール(&M)", "マーク(&F)", "選択(&S)", "設定(&C)",
                                              "その他(&O)", "ヘルプ(&H)"}));
  EXPECT_EQ(std::vector<int>(menus[0].entries.begin(), menus[0].entries.end()),
            (std::vector<int>{CmdReceive, CmdReclassify, CmdViewMail, CmdDelete, kSeparatorId,
                              CmdShowDustbox, CmdRestore}));

  std::set<int> inMenus;
  for (const ListMenu& menu : menus) {
    for (int id : menu.entries) {
      if (id == kSeparatorId) continue;
      EXPECT_NE(FindListCommand(id), nullptr) << id;
      EXPECT_TRUE(inMenus.insert(id).second) << "twice in the menus: " << id;
    }
  }
  EXPECT_EQ(inMenus.size(), ListCommands().size()) << "a command that no menu offers";
  for (int id : ToolBarCommands()) {
    if (id != kSeparatorId) {
      EXPECT_NE(FindListCommand(id), nullptr) << id;
    }
  }
}

struct KeyCase {
  int key;
  bool shift;
  KeyBinding expected;
};

KeyBinding Command(int id, bool shift) { return {KeyAction::Command, id, shift, -1}; }
KeyBinding Mailbox(int index, bool shift) { return {KeyAction::ActivateMailbox, 0, shift, index}; }

class KeyTableTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyTableTest, KeyAndShiftGiveTheCommand) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(LookupKey(c.key, c.shift), c.expected);
}

// One row per rule of the lookup, not per key of the table.
INSTANTIATE_TEST_SUITE_P(
    Keys, KeyTableTest,
    ::testing::Values(KeyCase{KeyEnter, false, Command(CmdViewMail, false)},
                      KeyCase{KeyEscape, false, {KeyAction::MinimiseAndHide, 0, false, -1}},
                      KeyCase{KeyDelete, true, Command(CmdDelete, true)},
                      KeyCase{'1', false, Mailbox(0, false)}, KeyCase{'9', true, Mailbox(8, true)},
                      KeyCase{'0', false, Mailbox(9, false)},
                      KeyCase{'B', false, Command(CmdAddBad, false)},
                      KeyCase{'B', true, Command(CmdRemoveBad, true)},
                      KeyCase{'R', true, Command(CmdReceive, true)},
                      KeyCase{'u', false, Command(CmdReclassify, false)},
                      KeyCase{KeyF1, false, Command(CmdHelp, false)},
                      // Keys the list keeps for itself.
                      KeyCase{'E', false, {}}, KeyCase{'Z', true, {}},
                      KeyCase{0x1000013, false, {}}));

}  // namespace
}  // namespace qm
