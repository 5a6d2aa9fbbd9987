// The mailbox dialogs and the four pages of a mailbox's property sheet without their widgets: the
// checks of a new mailbox's name, creating and deleting a mailbox with the user's consent, what
// each page shows when it opens, the rules that tie its fields together while the user edits it,
// and how it writes its values back.
//
// A page's values are copies: the widgets edit them, and only applying a page writes them to the
// mailbox. Applying takes the mailbox's retrievalLock (waiting as long as a retrieval runs), so
// that no retrieval sees half-changed settings. A refusal is shown to the user through the seam
// and changes nothing.
//
// User-interface thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/user_interface.h"
#include "store/mailbox_config.h"
#include "store/server_lists.h"

namespace qm {

class CMailbox;
class CMailboxSet;

// ---- Texts ----
inline constexpr const char* kInvalidNameText = "不正な名前です。";
inline constexpr const char* kImportQuestion =
    "指定したメールボックスファイルが存在します。\nインポートしますか？";
inline constexpr const char* kOutOfMemoryText = "メモリーが不足しています。\n 非常に不安定です。";
inline constexpr const char* kNameInUseText = "このメールボックスはすでに使用中です。";
inline constexpr const char* kCannotCreateText =
    "メールボックスを作れません。\nメールボックス名が正しくない可能性があります。";
inline constexpr const char* kSelectMailboxText = "メールボックスを選択してください。";
// A mail client is logged in to the mailbox or its dustbox.
inline constexpr const char* kMailboxBusyText =
    "このメールボックスは使用中のため削除できません。\nメーラの接続が終わってから削除してください"
    "。";
// The settings file could not take the list of mailboxes.
inline constexpr const char* kListNotSavedText = "メールボックスの一覧が保存できません。";
inline constexpr const char* kLocalAccountRefusedText = "設定に問題があります。";
inline constexpr const char* kLineBreakRefusedText =
    "サーバ名、アカウント名とパスワードには改行を含められません。";
inline constexpr const char* kTokenNeedsTlsText =
    "OAuth 2.0（XOAUTH2）で認証するには、接続の保護にSSL/TLSかSTARTTLSを選んでください。";
inline constexpr const char* kTokenCommandMissingText =
    "OAuth 2.0（XOAUTH2）で認証するには、アクセストークンを出力するトークン取得コマンドを"
    "設定してください。";
inline constexpr const char* kCommandRefusedText =
    "コマンドを解釈できません。引用符の対応を確かめてください。\n"
    "シェルの機能（| ; & < > $ ` ~ など）は使えません。必要ならスクリプトにしてください。";
inline constexpr const char* kDeletedHereQuestion =
    "サーバ上に削除済みメールが残っています。\n"
    "これらのメールはメールの分類に関わらず削除されます。\n"
    "削除してもいいですか？\n"
    "「キャンセル」を押すとこれらのメールは再受信されます。";

// "不正な文字（...）が含まれています。" with the characters no mailbox name may hold.
std::string ForbiddenCharactersText();
// The question before mailbox `name` and its mail are deleted.
std::string DeleteMailboxQuestion(std::string_view name);
// The refusal of a number outside min .. max (or of no number at all).
std::string NumberRangeText(std::uint32_t min, std::uint32_t max);
// The message for a failure code of CMailboxSet::Add; empty for an index.
std::string AddFailureText(int result);

// ---- Creating and deleting ----

// The name typed into the creation dialog, trimmed, and why it cannot be used (empty when it can).
// Characters are tested, not bytes: no byte of a longer UTF-8 character is a forbidden one.
struct NewMailboxName {
  std::string name;
  std::string refusal;
};
NewMailboxName CheckNewMailboxName(std::string_view typed);

// The user would not adopt the files that exist under the new name.
inline constexpr int kImportDeclined = -4;

// Creates mailbox `name` (checked already). When its message file exists in the working
// directory the user is asked first whether to adopt it; failures are shown. The new index, or
// kImportDeclined, or a failure code of CMailboxSet::Add.
int CreateMailbox(CMailboxSet& set, IUserInterface& ui, const std::string& name);

// Asks, then deletes the mailbox at `index` with its files. 1 when it was deleted; 0 for an
// invalid index, a "Cancel", or a failure.
int DeleteMailbox(CMailboxSet& set, IUserInterface& ui, int index);

// ---- The list of mailboxes ----

// Moves the selected mailbox one place up (`up`) or down. The row to select afterwards, or -1
// when nothing moved (nothing selected, or the first moved up or the last down).
int MoveMailbox(CMailboxSet& set, int selected, bool up);
// The mailbox whose property sheet the button opens; nullptr, with the user told to select one,
// when nothing is selected.
CMailbox* MailboxForProperties(const CMailboxSet& set, IUserInterface& ui, int selected);
// However the dialog closes, it saves the list of mailboxes: what was added, deleted or moved has
// already happened, and a list left unsaved would lose a new mailbox at the next start. A failure
// is shown; the mailboxes stay as they are in memory.
bool SaveMailboxList(CMailboxSet& set, IUserInterface& ui);

// ---- The remote account page ----

// Numbers are kept as typed, so that a refusal can name what is wrong with them.
struct AccountPageValues {
  std::string server;
  std::string port;
  std::string user;
  std::string password;
  ConnectionSecurity security = ConnectionSecurity::Plain;
  std::string caFile;
  AuthMethod auth = AuthMethod::Password;
  std::string tokenCommand = {};
  std::string passwordCommand = {};
};
AccountPageValues LoadAccountPage(const CMailbox& mailbox);
// The security changes; a port that was the old mode's usual one becomes the new mode's.
void ChangeSecurity(AccountPageValues& values, ConnectionSecurity security);
// Which fields the page lets the user edit for a login method: the password and the password
// command for Password, the token command for XOAuth2.
struct AccountPageFields {
  bool password = true;
  bool passwordCommand = true;
  bool tokenCommand = false;
};
AccountPageFields EditableAccountFields(AuthMethod auth);
// Sets the client's account and marks the settings for saving. 0, with the user told, for a port
// outside 1 .. 65535, a line break in a text the POP3 commands carry, a command line that cannot
// be run, or XOAuth2 on a clear connection or without a token command.
int ApplyAccountPage(CMailboxSet& set, int index, const AccountPageValues& values,
                     IUserInterface& ui);

// ---- The local account page ----

// The dustbox user name that the automatic setting derives from the user name.
inline constexpr std::string_view kAutomaticDustboxSuffix = "_dustbox";

struct ProxyPageValues {
  std::string user;
  std::string password;
  bool dustboxAccess = false;
  // Not stored: while set (and dustbox access is on) the dustbox account follows the account.
  bool automatic = false;
  std::string dustboxUser;
  std::string dustboxPassword;
};
ProxyPageValues LoadProxyPage(const CMailbox& mailbox);
// The automatic dustbox account: with dustbox access on and the automatic setting ticked, the
// dustbox user becomes the user name + "_dustbox" and its password the password. Whether a
// dustbox field changed.
bool FillAutomaticDustboxAccount(ProxyPageValues& values);
// Refuses a dustbox user name equal to the user name, or a login name another mailbox uses.
// Dustbox access without a complete dustbox account is switched off; without dustbox access the
// dustbox fields are emptied. `values` shows afterwards what was stored.
int ApplyProxyPage(CMailboxSet& set, int index, ProxyPageValues& values, IUserInterface& ui);

// ---- The receiving page ----

inline constexpr std::uint32_t kMinimumInterval = 30;
inline constexpr std::uint32_t kMaximumInterval = 86400;
// What the interval field shows while timer retrieval is off.
inline constexpr const char* kIntervalWhileOff = "180";

// One row of the grid of what happens to newly received mail of one class.
struct ReceiveGridRow {
  const char* label;
  CMailboxConfig::Option dustbox;
  CMailboxConfig::Option hide;
  CMailboxConfig::Option notify;
};
inline constexpr std::array<ReceiveGridRow, 4> kReceiveGrid = {{
    {"フレンドメール", CMailboxConfig::DustboxFriend, CMailboxConfig::HideFriend,
     CMailboxConfig::NotifyFriend},
    {"バッドメール", CMailboxConfig::DustboxBad, CMailboxConfig::HideBad,
     CMailboxConfig::NotifyBad},
    {"スパムメール", CMailboxConfig::DustboxSpam, CMailboxConfig::HideSpam,
     CMailboxConfig::NotifySpam},
    {"その他のメール", CMailboxConfig::DustboxOther, CMailboxConfig::HideOther,
     CMailboxConfig::NotifyOther},
}};
// The option bits the receiving page edits: on-demand retrieval and the grid.
std::uint32_t ReceivePageOptionMask();

struct ReceivePageValues {
  bool timer = false;
  std::string interval;
  // Only the bits of ReceivePageOptionMask() count.
  std::uint32_t options = 0;
};
ReceivePageValues LoadReceivePage(const CMailbox& mailbox);
// 0, with the user told, for an interval outside 30 .. 86400.
int ApplyReceivePage(CMailboxSet& set, int index, const ReceivePageValues& values,
                     IUserInterface& ui);

// ---- The deletion page ----

struct DustboxPageValues {
  // "Keep mail on the server"; while set, `deletionMode` is only what the radio buttons show.
  bool keepOnServer = false;
  // DeleteWhenRetrieved, DeleteWhenDustboxed or DeleteWhenPurged.
  ServerDeletion deletionMode = DeleteWhenRetrieved;
  bool keepFriend = false;
  bool keepOther = false;
  // Mails deleted here whose server copies are left alone.
  int deletedHereCount = 0;
  // Fetch those mails again.
  bool refetch = false;
  bool limitDustbox = false;
  std::string dustboxLimit;
  bool openDustboxAtExit = false;
};
DustboxPageValues LoadDustboxPage(const CMailbox& mailbox);
// In this order: forgets the mails deleted here when asked to fetch them again; sets the
// exemptions; changes the deletion policy, asking the user what becomes of the mails deleted
// here only when an exemption may have kept them on the server on purpose; sets the dustbox limit
// and the mark-read-at-exit option. 0, with nothing changed and the user told, for a limit that
// is no number. `values` shows the mails deleted here afterwards.
int ApplyDustboxPage(CMailboxSet& set, int index, DustboxPageValues& values, IUserInterface& ui);

}  // namespace qm
