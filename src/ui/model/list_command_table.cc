#include "ui/model/list_command_table.h"

#include <array>

namespace qm {

namespace {

// Select prompts share their suffix; built once so that the table can stay constexpr.
#define QM_SELECT_PROMPT(text) text "　（Shiftキー：条件逆転、Ctrlキー：追加選択）"

constexpr std::array<ListCommandInfo, 28> kCommands{{
    {CmdReceive, "メール受信(&R)", "R", "メールを受信する (Shiftキー：全メールボックス受信)",
     "メール受信"},
    {CmdReclassify, "メールの再分類(&U)", "U", "メールを再度分類しなおす", "メールの再分類"},
    {CmdViewMail, "メールを見る(&V)", "V", "メールの内容を表示する", "メールの表示"},
    {CmdDelete, "削除(&D)", "D", "メールを削除する (Shiftキー：確認しないで完全削除)",
     "メールを削除"},
    {CmdShowDustbox, "ごみ箱を見る(&G)", "G", "ごみ箱の中を見る", "ごみ箱を見る"},
    {CmdRestore, "メールボックスに戻す(&C)", "C", "ごみ箱からメールボックスに戻す",
     "メールボックスに戻す"},
    {CmdHide, "隠す(&H)", "H", "メールクライアントから隠す", "隠す"},
    // The key is Shift with H; the text has always meant that.
    {CmdUnhide, "隠さない(&I)", "Shift + H", "メールクライアントから隠さない", "隠さない"},
    {CmdAddFriend, "フレンドリストに追加(&F)", "F", "差出人をフレンドリストに追加する",
     "フレンドリストに追加"},
    {CmdRemoveFriend, "フレンドリストから削除(&G)", "Shift + F",
     "差出人をフレンドリストから削除する", "フレンドリストから削除"},
    {CmdAddBad, "バッドリストに追加(&B)", "B", "差出人をバッドリストに追加する",
     "バッドリストに追加"},
    {CmdRemoveBad, "バッドリストから削除(&C)", "Shift + B", "差出人をバッドリストから削除する",
     "バッドリストから削除"},
    {CmdMarkRead, "開封済みにする(&O)", "O", "開封済みにする", ""},
    {CmdMarkUnread, "未開封にする(&P)", "Shift + O", "未開封にする", ""},
    {CmdMarkDustboxRead, "ごみ箱メールを開封済みにする(&Q)", "Q",
     "ごみ箱に入っている全てのメールから未読マークを消す", ""},
    {CmdSelectAll, "全て(&A)", "A", "全てのメールを選択する　（Shiftキー：選択解除）", ""},
    {CmdSelectRead, "既読メール(&O)", "", QM_SELECT_PROMPT("既読メールを選択する"), ""},
    {CmdSelectHidden, "隠しているメール(&H)", "",
     QM_SELECT_PROMPT("メールクライアントから隠しているメールを選択する"), ""},
    {CmdSelectFriend, "フレンドメール(&F)", "",
     QM_SELECT_PROMPT("フレンドリスト登録者からのメールを選択する"), ""},
    {CmdSelectBad, "バッドメール(&B)", "",
     QM_SELECT_PROMPT("バッドリスト登録者からのメールを選択する"), ""},
    {CmdSelectSpam, "スパムメール(&S)", "", QM_SELECT_PROMPT("スパムメールを選択する"), ""},
    {CmdMailboxSettings, "メールボックス", "", "", ""},
    {CmdListEditor, "フレンド／バッドリスト(&L)", "", "フレンドリスト・バッドリストを編集する", ""},
    {CmdOptions, "動作オプション", "", "動作オプションの設定", ""},
    {CmdLaunchMailer, "メーラを起動(&M)", "M", "登録してあるメーラを起動する", ""},
    {CmdHelp, "ヘルプ(&H)", "F1", "ヘルプファイルを開く", ""},
    {CmdVersion, "バージョン情報(&A)", "", "このプログラムのバージョンを確認する", ""},
    {CmdWebPage, "作者のホームページ(&W)", "", "", ""},
}};

#undef QM_SELECT_PROMPT

constexpr int kMailMenu[] = {CmdReceive,   CmdReclassify,  CmdViewMail, CmdDelete,
                             kSeparatorId, CmdShowDustbox, CmdRestore};
constexpr int kMarkMenu[] = {CmdHide,         CmdUnhide,    kSeparatorId,  CmdAddFriend,
                             CmdRemoveFriend, kSeparatorId, CmdAddBad,     CmdRemoveBad,
                             kSeparatorId,    CmdMarkRead,  CmdMarkUnread, CmdMarkDustboxRead};
constexpr int kSelectMenu[] = {CmdSelectAll,    CmdSelectRead, CmdSelectHidden,
                               CmdSelectFriend, CmdSelectBad,  CmdSelectSpam};
constexpr int kSettingsMenu[] = {CmdMailboxSettings, CmdListEditor, CmdOptions};
constexpr int kOtherMenu[] = {CmdLaunchMailer};
constexpr int kHelpMenu[] = {CmdHelp, CmdVersion, CmdWebPage};

constexpr ListMenu kMenus[] = {
    {"メール(&M)", kMailMenu},   {"マーク(&F)", kMarkMenu},  {"選択(&S)", kSelectMenu},
    {"設定(&C)", kSettingsMenu}, {"その他(&O)", kOtherMenu}, {"ヘルプ(&H)", kHelpMenu},
};

constexpr int kToolBar[] = {
    CmdReceive,   CmdReclassify, CmdViewMail,     CmdDelete,    kSeparatorId,   CmdShowDustbox,
    kSeparatorId, CmdAddFriend,  CmdRemoveFriend, kSeparatorId, CmdAddBad,      CmdRemoveBad,
    kSeparatorId, CmdHide,       CmdUnhide,       kSeparatorId, CmdLaunchMailer};

KeyBinding Run(int command, bool shift) { return {KeyAction::Command, command, shift, -1}; }

}  // namespace

std::span<const ListCommandInfo> ListCommands() { return kCommands; }

const ListCommandInfo* FindListCommand(int id) {
  for (const ListCommandInfo& info : kCommands) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

std::string MenuItemText(const ListCommandInfo& info) {
  std::string text = info.label;
  if (info.shortcut[0] != '\0') text.append("\t").append(info.shortcut);
  return text;
}

std::string PlainLabel(const ListCommandInfo& info) {
  std::string text = info.label;
  const std::size_t mnemonic = text.find("(&");
  if (mnemonic != std::string::npos && text.size() >= mnemonic + 4 && text[mnemonic + 3] == ')') {
    text.erase(mnemonic, 4);
  }
  return text;
}

std::string ToolTipText(const ListCommandInfo& info) {
  return info.tip[0] != '\0' ? std::string(info.tip) : PlainLabel(info);
}

std::span<const ListMenu> MainMenus() { return kMenus; }

std::span<const int> ToolBarCommands() { return kToolBar; }

KeyBinding LookupKey(int key, bool shift) {
  if (key >= 'a' && key <= 'z') key -= 'a' - 'A';
  if (key >= '1' && key <= '9') return {KeyAction::ActivateMailbox, 0, shift, key - '1'};
  switch (key) {
    case '0':
      return {KeyAction::ActivateMailbox, 0, shift, 9};
    case KeyEnter:
    case 'V':
      return Run(CmdViewMail, shift);
    case KeyEscape:
      return {KeyAction::MinimiseAndHide, 0, shift, -1};
    case KeyDelete:
    case 'D':
      return Run(CmdDelete, shift);
    case 'A':
      return Run(CmdSelectAll, shift);
    case 'B':
      return Run(shift ? CmdRemoveBad : CmdAddBad, shift);
    case 'C':
      return Run(CmdRestore, shift);
    case 'F':
      return Run(shift ? CmdRemoveFriend : CmdAddFriend, shift);
    case 'G':
      return Run(CmdShowDustbox, shift);
    case 'H':
      return Run(shift ? CmdUnhide : CmdHide, shift);
    case 'M':
      return Run(CmdLaunchMailer, shift);
    case 'O':
      return Run(shift ? CmdMarkUnread : CmdMarkRead, shift);
    case 'Q':
      return Run(CmdMarkDustboxRead, shift);
    case 'R':
      return Run(CmdReceive, shift);
    case 'U':
      return Run(CmdReclassify, shift);
    case KeyF1:
      return Run(CmdHelp, shift);
    default:
      return {};
  }
}

}  // namespace qm
