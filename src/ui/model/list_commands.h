// The commands of the mail list without their widgets: what the menus, the context menu and the
// single keys do to the selected mails of the displayed mailbox, to the friend and bad lists and
// to the list itself. The window supplies what only it can do through IListWindow; the rows are
// those of CMailListModel, which the window mirrors.
//
// User-interface thread only.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/user_interface.h"
#include "ui/model/list_command_table.h"
#include "ui/model/mail_rows.h"
#include "ui/model/program_call.h"

namespace qm {

class CMailbox;
class CMailboxSet;
class CMailListModel;
class CMailMessage;
class CSenderLists;
class CSettings;

// The texts the commands show.
inline constexpr const char* kConfirmPurgeText = "メールは、完全に削除されます。よろしいですか？";
inline constexpr const char* kEmptyFriendText =
    "空のメールアドレスをフレンドリストに追加することは出来ません。";
inline constexpr const char* kAskEmptyBadText = "空のメールアドレスをバッドリストに追加しますか？";
inline constexpr const char* kAskRemoveEmptyBadText =
    "空のメールアドレスをバッドリストから削除しますか？";
inline constexpr const char* kReclassifyTitle = "再分類中";
inline constexpr const char* kReclassifyReadFailedText = "内部エラー(OnUpdatelist)";
inline constexpr const char* kRestoreFailedText = "処理中に問題が発生しました。";
inline constexpr const char* kMailboxInUseText =
    "メールソフトがこのメールボックスを使用中です。しばらくしてからもう一度お試しください。";
inline constexpr const char* kNoMailerText =
    "「設定」－「起動メーラ」メニューから\n起動するメーラを設定してください。";
inline constexpr const char* kMailerFailedText = "メーラを起動できませんでした。";
inline constexpr const char* kNoHelpText =
    "ヘルプファイルが開けません。インストールが正しく行われていない可能性があります。";

// Looked up in the current directory.
inline constexpr const char* kHelpFile = "qm_mailfilter.chm";
// The project has no web page of its own yet: the page the help menu offers is the README installed
// with the program, in the documentation folder beside the program's own (bin/../share/doc/...).
inline constexpr const char* kDocumentationFolder = "../share/doc/qm-mailfilter";
inline constexpr const char* kDocumentationFile = "README.md";
inline constexpr const char* kNoDocumentationText =
    "説明書が見つかりません。インストールが正しく行われていない可能性があります。";

// The installed README for the program at `program`, whether it exists or not.
std::string DocumentationPath(const std::string& program);

// "Checking %d / %d".
std::string ReclassifyProgressText(int done, int total);

// What only the window can do.
class IListWindow {
 public:
  virtual ~IListWindow() = default;

  // Modal message boxes.
  virtual void ShowMessage(std::string_view text) = 0;
  virtual Answer Ask(std::string_view question, Buttons buttons) = 0;

  // The selected rows as indices into CMailListModel::Rows(), in any order.
  virtual std::vector<int> SelectedRows() const = 0;
  // Exactly these rows are selected afterwards.
  virtual void SetSelection(std::span<const int> rows) = 0;
  // The rows were rebuilt, or some removed and the rest renumbered: show Rows() anew. A
  // SetSelection call always follows.
  virtual void RowsChanged() = 0;
  // Icons or texts of rows changed in place.
  virtual void Redraw() = 0;

  // The main frame's mail counts (status bar, tray tip, mailbox selector) may have changed.
  virtual void UpdateCounts() = 0;
  // Makes the mailbox at `index` current through the main frame (selector, list, counts).
  virtual void ActivateMailbox(int index) = 0;
  virtual void MinimiseAndHide() = 0;
  // Ends the tray icon's new-mail blinking.
  virtual void EndNewMailIndication() = 0;

  // A modeless viewer of its own copy of the mail; several may be open at once.
  virtual void OpenViewer(const CMailMessage& message) = 0;
  // Opens a file (a program is started) or a web address the way the desktop opens it; false
  // when that failed.
  virtual bool OpenPath(const std::string& path) = 0;
  // Starts a program on its own, a program name without a slash looked up in PATH; false when
  // it could not be started.
  virtual bool StartProgram(const ProgramCall& call) = 0;
  // The modal dialogs that are the window's own: CmdMailboxSettings, CmdListEditor, CmdOptions,
  // CmdVersion.
  virtual void OpenDialog(int command) = 0;

  // A small progress window titled `title`, its bar ranging over 0 .. `maximum`, with a Cancel
  // button that WaitWithProgress answers.
  virtual void OpenProgress(std::string_view title, int maximum) = 0;
  virtual void StepProgress(int position, std::string_view text) = 0;
  virtual void CloseProgress() = 0;
  // While work runs on another thread: keeps the window alive (painting, the progress window's
  // Cancel button) until `finished` returns true, asking it often. Cancel calls `cancel` once;
  // the wait goes on until the work has stopped.
  virtual void WaitWithProgress(const std::function<bool()>& finished,
                                const std::function<void()>& cancel) = 0;
};

enum class CommandResult {
  Done,
  Nothing,    // nothing to act on (no selection, no mailbox, not in the dustbox view)
  Cancelled,  // the user said no
  Failed,     // the user has been told, or the window's open failed
  Stale,      // the rows no longer showed the mailbox: the list was rebuilt, nothing changed
};

enum class SelectRule { Read, Hidden, Friend, Bad, Spam };

// Whether the row matches the rule; `invert` is the rule with Shift. The rules look at the
// row's icons, not at the store.
bool RowMatches(const MailListRow& row, SelectRule rule, bool invert);
// The selection after a select command: without `add` only the matching rows; with it the
// current selection and the matching rows. Sorted, without repeats.
std::vector<int> SelectRows(const std::vector<MailListRow>& rows, std::span<const int> current,
                            SelectRule rule, bool invert, bool add);

struct CommandState {
  bool enabled = true;
  bool checked = false;
  friend bool operator==(const CommandState&, const CommandState&) = default;
};

class CListCommands {
 public:
  CListCommands(CMailListModel& list, CMailboxSet& mailboxes, CSenderLists& lists,
                CSettings& settings, IListWindow& window);

  // A menu or toolbar command by id (ListCommandId) with the modifier keys held when it was
  // chosen. Nothing for an unknown id.
  CommandResult Execute(int command, bool shift, bool ctrl);
  // A key-down in the list: whether it was the list's key (else the list's own handling takes
  // it). `repeat` 2 or more (a held key) is swallowed without acting.
  bool OnKey(int key, bool shift, bool ctrl, int repeat);
  // Enabled and checked states of a menu entry or toolbar button.
  CommandState State(int command) const;

  // Shift: all mailboxes.
  CommandResult Receive(bool shift);
  CommandResult ViewMail();
  // Shift: for good, without asking.
  CommandResult Delete(bool shift);
  CommandResult Hide();
  CommandResult Unhide();
  CommandResult MarkRead();
  CommandResult MarkUnread();
  CommandResult AddFriend();
  CommandResult RemoveFriend();
  CommandResult AddBad();
  CommandResult RemoveBad();
  CommandResult Reclassify();
  // Shift: deselect all.
  CommandResult SelectAll(bool shift);
  CommandResult SelectBy(SelectRule rule, bool shift, bool ctrl);
  CommandResult ToggleDustbox();
  CommandResult RestoreFromDustbox();
  CommandResult MarkDustboxRead();
  // Shift: the main window goes away first.
  CommandResult LaunchMailer(bool shift);
  CommandResult Help();
  CommandResult WebPage();
  // 1 … 9 and 0 make mailboxes 0 … 9 current; an index with no mailbox changes nothing.
  CommandResult ActivateMailbox(int index);

 private:
  struct Selection {
    std::vector<int> numbers;
    std::vector<int> rows;
    std::vector<std::uint64_t> serials;  // what each row showed when the command began
  };
  Selection Selected() const;
  // Runs `change` on the sender address of each selected mail, reclassifying the mails for which
  // it returns true, and redraws.
  CommandResult ForEachSender(const std::function<bool(const std::string& address)>& change);
  // Whether selected row `i` is still in the list showing the message it showed, and that message
  // still has its number in the mailbox. The caller holds the mailbox's storeLock from the check
  // to the end of what it does with the message.
  bool Current(const CMailbox& mailbox, const Selection& selection, std::size_t i) const;
  bool SelectionCurrent(const CMailbox& mailbox, const Selection& selection) const;
  // The list no longer matches the mailbox: rebuilt and shown without a selection.
  CommandResult Rebuild();
  // The mailbox's store is held by a mail client: the user is told, nothing is done.
  CommandResult Busy();
  static constexpr int kRowsStale = -1;
  static constexpr int kStoreBusy = -2;
  // Removes the selected mails (ascending numbers) from `mailbox` into `target` (nullptr: for
  // good), then their rows; the rows of mails that stayed remain selected. The count removed;
  // kRowsStale when the rows no longer show the mailbox, kStoreBusy when a mail client holds
  // either mailbox, both with nothing done.
  int RemoveMails(CMailbox& mailbox, const Selection& selection, CMailbox* target);
  // Runs `mark` on each selected mail; the rows of those it changed (it returns 1) show their new
  // state icon.
  template <typename Mark>
  CommandResult MarkEach(Mark mark, bool countsChanged);
  // Starts what the mail client setting names: a desktop entry, an existing file, or a command
  // line.
  bool StartMailer(const std::string& setting);
  // The rule for an empty sender, for the classifier now and in the settings file.
  void SetEmptyAddressIsBad(bool on);

  CMailListModel& list;
  CMailboxSet& mailboxes;
  CSenderLists& lists;
  CSettings& settings;
  IListWindow& window;
};

}  // namespace qm
