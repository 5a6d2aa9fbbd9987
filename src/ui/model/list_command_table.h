// The commands of the mail list as data: their ids, menu labels, shortcut texts, status-bar
// prompts and tool tips, the main menu (whose first menus are also the list's context menu), the
// toolbar, and the single keys typed in the list. The desktop builds its menus, toolbar and key
// handling from these tables; CListCommands carries the commands out.
//
// The texts are UTF-8, as the display takes them. A label carries its mnemonic as "(&X)".
#pragma once

#include <span>
#include <string>

namespace qm {

// The ids are those the program's menus have always used.
enum ListCommandId : int {
  CmdReceive = 32775,
  CmdReclassify = 32809,
  CmdViewMail = 32787,
  CmdDelete = 32772,
  CmdShowDustbox = 32823,
  CmdRestore = 32824,
  CmdHide = 32785,
  CmdUnhide = 32786,
  CmdAddFriend = 32788,
  CmdRemoveFriend = 32790,
  CmdAddBad = 32793,
  CmdRemoveBad = 32794,
  CmdMarkRead = 32806,
  CmdMarkUnread = 32805,
  CmdMarkDustboxRead = 32831,
  CmdSelectAll = 32822,
  CmdSelectRead = 32814,
  CmdSelectHidden = 32812,
  CmdSelectFriend = 32813,
  CmdSelectBad = 32811,
  CmdSelectSpam = 32816,
  CmdMailboxSettings = 144,
  CmdListEditor = 32829,
  CmdOptions = 32837,
  CmdLaunchMailer = 32834,
  CmdHelp = 32838,
  CmdVersion = 57664,
  CmdWebPage = 32828,
};

// A separator in a menu or the toolbar.
inline constexpr int kSeparatorId = 0;

struct ListCommandInfo {
  int id;
  const char* label;
  // Shown after a tab in the menu entry; "" for none. Only a text: the keys themselves are in
  // the key table below.
  const char* shortcut;
  // The status bar's text while the entry is highlighted; "" for none.
  const char* prompt;
  // The toolbar button's short tip; "" when the command has none of its own.
  const char* tip;
};

// Every command, in menu order.
std::span<const ListCommandInfo> ListCommands();
// The command with this id, or nullptr.
const ListCommandInfo* FindListCommand(int id);

// The menu entry's text: the label, and a tab and the shortcut text when there is one.
std::string MenuItemText(const ListCommandInfo& info);
// The label without its mnemonic: "メール受信(&R)" gives "メール受信".
std::string PlainLabel(const ListCommandInfo& info);
// The tool tip: the command's own short form, or its plain label when it has none.
std::string ToolTipText(const ListCommandInfo& info);

struct ListMenu {
  const char* title;
  // Command ids in order; kSeparatorId for a separator.
  std::span<const int> entries;
};

// The main menu bar, left to right.
std::span<const ListMenu> MainMenus();
// The list's context menu is made of the main menu's first menus, as submenus.
inline constexpr const char* kContextMenuTitle = "メール一覧";
inline constexpr int kContextMenuCount = 3;

// The toolbar buttons, left to right; kSeparatorId for a separator.
std::span<const int> ToolBarCommands();

// ---- Single keys typed in the list ----

// Letters and digits are their upper-case ASCII codes ('A', '7'); the other keys have these
// codes. The desktop maps its own key codes onto them (both Return and the keypad's Enter are
// KeyEnter).
enum ListKey : int {
  KeyEnter = 0x100,
  KeyEscape = 0x101,
  KeyDelete = 0x102,
  KeyF1 = 0x103,
};

enum class KeyAction {
  None,             // not a key of the list: the list's own handling (cursor movement and so on)
  Command,          // run `command` with `shift`
  ActivateMailbox,  // make `mailbox` current, when it exists
  MinimiseAndHide,  // minimise the main window, then hide it
};

struct KeyBinding {
  KeyAction action = KeyAction::None;
  int command = 0;
  bool shift = false;
  int mailbox = -1;
  friend bool operator==(const KeyBinding&, const KeyBinding&) = default;
};

// What a key does with or without Shift. Lower-case letters count as their upper-case keys.
KeyBinding LookupKey(int key, bool shift);

}  // namespace qm
