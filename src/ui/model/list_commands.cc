#include "ui/model/list_commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

#include "app/settings.h"
#include "classify/sender_lists.h"
#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/locks.h"
#include "store/mailbox.h"
#include "ui/model/mail_list.h"
#include "ui/model/program_call.h"

namespace qm {

namespace {

// A mail client holds its mailbox's store lock from its login to its end, which may be many
// minutes; a retrieval holds it for moments. A command waits this long at most.
constexpr std::chrono::milliseconds kStoreWait{50};

// Holds a store lock for a command, or tells that it could not.
class CStoreHold {
 public:
  explicit CStoreHold(CReentrantLock& lock) : held(lock), holds(lock.TryLockFor(kStoreWait)) {}
  ~CStoreHold() {
    if (holds) held.Unlock();
  }
  CStoreHold(const CStoreHold&) = delete;
  CStoreHold& operator=(const CStoreHold&) = delete;
  bool Held() const { return holds; }

 private:
  CReentrantLock& held;
  bool holds;
};

}  // namespace

std::string ReclassifyProgressText(int done, int total) {
  char text[64];
  std::snprintf(text, sizeof text, "Checking %d / %d", done, total);
  return text;
}

bool RowMatches(const MailListRow& row, SelectRule rule, bool invert) {
  bool match = false;
  switch (rule) {
    case SelectRule::Read:
      match = row.stateImage < 2;
      break;
    case SelectRule::Hidden:
      match = row.stateImage % 2 == 1;
      break;
    case SelectRule::Friend:
      match = row.verdictImage == VerdictFriend;
      break;
    case SelectRule::Bad:
      match = row.verdictImage == VerdictBad;
      break;
    case SelectRule::Spam:
      match = row.verdictImage == VerdictSpam;
      break;
  }
  return match != invert;
}

std::vector<int> SelectRows(const std::vector<MailListRow>& rows, std::span<const int> current,
                            SelectRule rule, bool invert, bool add) {
  const int count = static_cast<int>(rows.size());
  std::vector<int> selected;
  if (add) {
    for (int row : current) {
      if (row >= 0 && row < count) selected.push_back(row);
    }
  }
  for (int row = 0; row < count; ++row) {
    if (RowMatches(rows[static_cast<std::size_t>(row)], rule, invert)) selected.push_back(row);
  }
  std::sort(selected.begin(), selected.end());
  selected.erase(std::unique(selected.begin(), selected.end()), selected.end());
  return selected;
}

CListCommands::CListCommands(CMailListModel& mailList, CMailboxSet& mailboxSet,
                             CSenderLists& senderLists, CSettings& programSettings,
                             IListWindow& listWindow)
    : list(mailList),
      mailboxes(mailboxSet),
      lists(senderLists),
      settings(programSettings),
      window(listWindow) {}

CommandResult CListCommands::Execute(int command, bool shift, bool ctrl) {
  switch (command) {
    case CmdReceive:
      return Receive(shift);
    case CmdReclassify:
      return Reclassify();
    case CmdViewMail:
      return ViewMail();
    case CmdDelete:
      return Delete(shift);
    case CmdShowDustbox:
      return ToggleDustbox();
    case CmdRestore:
      return RestoreFromDustbox();
    case CmdHide:
      return Hide();
    case CmdUnhide:
      return Unhide();
    case CmdAddFriend:
      return AddFriend();
    case CmdRemoveFriend:
      return RemoveFriend();
    case CmdAddBad:
      return AddBad();
    case CmdRemoveBad:
      return RemoveBad();
    case CmdMarkRead:
      return MarkRead();
    case CmdMarkUnread:
      return MarkUnread();
    case CmdMarkDustboxRead:
      return MarkDustboxRead();
    case CmdSelectAll:
      return SelectAll(shift);
    case CmdSelectRead:
      return SelectBy(SelectRule::Read, shift, ctrl);
    case CmdSelectHidden:
      return SelectBy(SelectRule::Hidden, shift, ctrl);
    case CmdSelectFriend:
      return SelectBy(SelectRule::Friend, shift, ctrl);
    case CmdSelectBad:
      return SelectBy(SelectRule::Bad, shift, ctrl);
    case CmdSelectSpam:
      return SelectBy(SelectRule::Spam, shift, ctrl);
    case CmdLaunchMailer:
      return LaunchMailer(shift);
    case CmdHelp:
      return Help();
    case CmdWebPage:
      return WebPage();
    case CmdMailboxSettings:
    case CmdListEditor:
    case CmdOptions:
    case CmdVersion:
      window.OpenDialog(command);
      return CommandResult::Done;
    default:
      return CommandResult::Nothing;
  }
}

bool CListCommands::OnKey(int key, bool shift, bool ctrl, int repeat) {
  const KeyBinding binding = LookupKey(key, shift);
  if (binding.action == KeyAction::None) return false;
  // A held key would otherwise delete, hide or open mail after mail.
  if (repeat >= 2) return true;
  switch (binding.action) {
    case KeyAction::Command:
      Execute(binding.command, binding.shift, ctrl);
      break;
    case KeyAction::ActivateMailbox:
      ActivateMailbox(binding.mailbox);
      break;
    case KeyAction::MinimiseAndHide:
      window.MinimiseAndHide();
      break;
    case KeyAction::None:
      break;
  }
  return true;
}

CommandState CListCommands::State(int command) const {
  CommandState state;
  if (command == CmdShowDustbox) state.checked = list.DustboxView();
  if (command == CmdRestore) state.enabled = list.DustboxView();
  return state;
}

CListCommands::Selection CListCommands::Selected() const {
  Selection selection;
  const std::vector<int> rows = window.SelectedRows();
  list.GetSelectedMails(rows, selection.numbers, selection.rows);
  for (const int row : selection.rows) {
    selection.serials.push_back(list.Rows()[static_cast<std::size_t>(row)].serial);
  }
  return selection;
}

bool CListCommands::Current(const CMailbox& mailbox, const Selection& selection,
                            std::size_t i) const {
  // A question's own event loop may have rebuilt the rows, and a mail client, a retrieval or a
  // trim may have moved the numbers since the command began.
  const int row = selection.rows[i];
  if (row < 0 || row >= list.RowCount()) return false;
  const MailListRow& shown = list.Rows()[static_cast<std::size_t>(row)];
  return shown.serial == selection.serials[i] && shown.number == selection.numbers[i] &&
         mailbox.Summary(selection.numbers[i]).serial == selection.serials[i];
}

bool CListCommands::SelectionCurrent(const CMailbox& mailbox, const Selection& selection) const {
  for (std::size_t i = 0; i < selection.numbers.size(); ++i) {
    if (!Current(mailbox, selection, i)) return false;
  }
  return true;
}

CommandResult CListCommands::Busy() {
  window.ShowMessage(kMailboxInUseText);
  return CommandResult::Failed;
}

CommandResult CListCommands::Rebuild() {
  list.UpdateList();
  window.RowsChanged();
  window.SetSelection({});
  return CommandResult::Stale;
}

int CListCommands::RemoveMails(CMailbox& mailbox, const Selection& selection, CMailbox* target) {
  int removed = 0;
  {
    // Held across the check and the removal, so that no mail client's deletions come between.
    const CStoreHold hold(mailbox.storeLock);
    const std::optional<CStoreHold> targetHold =
        target != nullptr ? std::optional<CStoreHold>(std::in_place, target->storeLock)
                          : std::nullopt;
    if (!hold.Held() || (targetHold && !targetHold->Held())) return kStoreBusy;
    if (!SelectionCurrent(mailbox, selection)) return kRowsStale;
    removed = mailbox.RemoveMessages(selection.numbers, target);
  }
  // The store removes all of them or none: the mails that stayed keep their numbers.
  const std::size_t kept = selection.numbers.size() - static_cast<std::size_t>(removed);
  for (std::size_t i = selection.numbers.size(); i-- > kept;) {
    list.RemoveRow(selection.numbers[i]);
  }
  std::vector<int> stillSelected;
  for (std::size_t i = 0; i < kept; ++i)
    stillSelected.push_back(list.FindRow(selection.numbers[i]));
  window.RowsChanged();
  window.SetSelection(stillSelected);
  window.UpdateCounts();
  return removed;
}

namespace {

// The selection in ascending mail number, as the removing commands want it; each row keeps its
// message's serial.
void SortByNumber(std::vector<int>& numbers, std::vector<int>& rows,
                  std::vector<std::uint64_t>& serials) {
  std::vector<std::tuple<int, int, std::uint64_t>> entries;
  for (std::size_t i = 0; i < numbers.size(); ++i)
    entries.emplace_back(numbers[i], rows[i], serials[i]);
  std::sort(entries.begin(), entries.end());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::tie(numbers[i], rows[i], serials[i]) = entries[i];
  }
}

}  // namespace

CommandResult CListCommands::Receive(bool shift) {
  window.EndNewMailIndication();
  if (shift) {
    mailboxes.StartRetrieval(kTriggerCommand, -1);
    return CommandResult::Done;
  }
  // Index -1 would mean every mailbox, which only Shift asks for.
  if (list.CurrentMailbox() == nullptr) return CommandResult::Nothing;
  mailboxes.StartRetrieval(kTriggerCommand, list.CurrentIndex());
  return CommandResult::Done;
}

CommandResult CListCommands::ViewMail() {
  const Selection selection = Selected();
  CMailbox* mailbox = list.DisplayedMailbox();
  if (selection.numbers.empty() || mailbox == nullptr) return CommandResult::Nothing;
  const int number = selection.numbers.front();
  CMailMessage message;
  {
    const CStoreHold hold(mailbox->storeLock);
    if (!hold.Held()) return Busy();
    if (!Current(*mailbox, selection, 0)) return Rebuild();
    // A mail that cannot be read (the store has said why) is not marked read either.
    if (!mailbox->ReadMessage(number, message)) return CommandResult::Failed;
    mailbox->SetOpened(number, true);
  }
  list.SetRowState(selection.rows.front(), mailbox->Flags(number));
  window.Redraw();
  window.UpdateCounts();
  window.OpenViewer(message);
  return CommandResult::Done;
}

CommandResult CListCommands::Delete(bool shift) {
  Selection selection = Selected();
  CMailbox* mailbox = list.DisplayedMailbox();
  if (selection.numbers.empty() || mailbox == nullptr) return CommandResult::Nothing;
  SortByNumber(selection.numbers, selection.rows, selection.serials);
  const bool dustboxView = list.DustboxView();
  if (!shift && dustboxView && window.Ask(kConfirmPurgeText, Buttons::OkCancel) != Answer::Ok) {
    return CommandResult::Cancelled;
  }
  CMailbox* target = !shift && !dustboxView ? list.CurrentMailbox()->Dustbox() : nullptr;
  const int removed = RemoveMails(*mailbox, selection, target);
  if (removed == kStoreBusy) return Busy();
  if (removed == kRowsStale) return Rebuild();
  return removed == static_cast<int>(selection.numbers.size()) ? CommandResult::Done
                                                               : CommandResult::Failed;
}

template <typename Mark>
CommandResult CListCommands::MarkEach(Mark mark, bool countsChanged) {
  const Selection selection = Selected();
  CMailbox* mailbox = list.DisplayedMailbox();
  if (selection.numbers.empty() || mailbox == nullptr) return CommandResult::Nothing;
  {
    const CStoreHold hold(mailbox->storeLock);
    if (!hold.Held()) return Busy();
    if (!SelectionCurrent(*mailbox, selection)) return Rebuild();
    for (std::size_t i = 0; i < selection.numbers.size(); ++i) {
      const int number = selection.numbers[i];
      if (mark(*mailbox, number) == 1) list.SetRowState(selection.rows[i], mailbox->Flags(number));
    }
  }
  window.Redraw();
  if (countsChanged) window.UpdateCounts();
  return CommandResult::Done;
}

CommandResult CListCommands::Hide() {
  return MarkEach([](CMailbox& mailbox, int n) { return mailbox.SetHidden(n); }, false);
}

CommandResult CListCommands::Unhide() {
  return MarkEach([](CMailbox& mailbox, int n) { return mailbox.ClearHidden(n); }, false);
}

CommandResult CListCommands::MarkRead() {
  return MarkEach([](CMailbox& mailbox, int n) { return mailbox.SetOpened(n, true); }, true);
}

CommandResult CListCommands::MarkUnread() {
  return MarkEach([](CMailbox& mailbox, int n) { return mailbox.SetOpened(n, false); }, true);
}

void CListCommands::SetEmptyAddressIsBad(bool on) {
  lists.SetAddEmptyAddrToBadlist(on);
  settings.Set(settings::AddEmptyAddrToBadlist, on ? 1 : 0);
}

CommandResult CListCommands::ForEachSender(
    const std::function<bool(const std::string& address)>& change) {
  const Selection selection = Selected();
  CMailbox* mailbox = list.DisplayedMailbox();
  if (selection.numbers.empty() || mailbox == nullptr) return CommandResult::Nothing;
  // The senders are read first: `change` may ask the user, and no lock is held over a question.
  std::vector<std::optional<std::string>> senders;
  {
    const CStoreHold hold(mailbox->storeLock);
    if (!hold.Held()) return Busy();
    if (!SelectionCurrent(*mailbox, selection)) return Rebuild();
    for (const int number : selection.numbers) {
      CMailMessage message;
      senders.push_back(mailbox->ReadMessage(number, message)
                            ? std::optional<std::string>(message.SenderAddress())
                            : std::nullopt);
    }
  }
  bool stale = false;
  for (std::size_t i = 0; i < selection.numbers.size(); ++i) {
    if (!senders[i] || !change(*senders[i])) continue;
    // A question may have let the rows or the numbers move.
    if (!Current(*mailbox, selection, i)) {
      stale = true;
      continue;
    }
    const int verdict =
        mailbox->GetClassification(selection.numbers[i], true, nullptr, selection.serials[i]);
    if (Current(*mailbox, selection, i)) list.SetRowClass(selection.rows[i], verdict);
  }
  if (stale) return Rebuild();
  window.Redraw();
  return CommandResult::Done;
}

CommandResult CListCommands::AddFriend() {
  bool refused = false;
  return ForEachSender([this, &refused](const std::string& address) {
    if (address.empty()) {
      if (!refused) window.ShowMessage(kEmptyFriendText);
      refused = true;
      return false;
    }
    lists.AddFriend(address);
    return true;
  });
}

CommandResult CListCommands::RemoveFriend() {
  return ForEachSender([this](const std::string& address) {
    lists.RemoveFriend(address);
    return true;
  });
}

CommandResult CListCommands::AddBad() {
  return ForEachSender([this](const std::string& address) {
    if (!address.empty()) {
      lists.AddBad(address);
    } else if (!lists.AddEmptyAddrToBadlist() &&
               window.Ask(kAskEmptyBadText, Buttons::YesNo) == Answer::Yes) {
      // No entry can hold the empty address: the rule stands for it.
      SetEmptyAddressIsBad(true);
    }
    return true;
  });
}

CommandResult CListCommands::RemoveBad() {
  return ForEachSender([this](const std::string& address) {
    if (!address.empty()) {
      lists.RemoveBad(address);
    } else if (lists.AddEmptyAddrToBadlist() &&
               window.Ask(kAskRemoveEmptyBadText, Buttons::YesNo) == Answer::Yes) {
      SetEmptyAddressIsBad(false);
    }
    return true;
  });
}

CommandResult CListCommands::Reclassify() {
  const Selection selection = Selected();
  CMailbox* mailbox = list.DisplayedMailbox();
  if (selection.numbers.empty() || mailbox == nullptr) return CommandResult::Nothing;
  if (!SelectionCurrent(*mailbox, selection)) return Rebuild();
  const int total = static_cast<int>(selection.numbers.size());

  // The look-ups may take seconds each: they run on a thread of their own while the window stays
  // alive, and the rows are changed here once it is done.
  struct Outcome {
    int verdict = 0;
    unsigned reason = 0;
  };
  std::mutex progressLock;
  int reached = 0;  // messages begun
  bool finished = false;
  bool unreadable = false;
  bool stale = false;
  bool busy = false;
  std::vector<std::optional<Outcome>> verdicts(selection.numbers.size());
  std::atomic<bool> cancelled{false};
  std::thread worker([&] {
    for (std::size_t i = 0; i < selection.numbers.size() && !cancelled; ++i) {
      {
        std::lock_guard lock(progressLock);
        reached = static_cast<int>(i) + 1;
      }
      const int number = selection.numbers[i];
      bool same = false;
      bool read = false;
      {
        // A mail client may hold the mailbox for minutes: the user is told, as by the other
        // commands.
        const CStoreHold hold(mailbox->storeLock);
        if (!hold.Held()) {
          std::lock_guard lock(progressLock);
          busy = true;
          break;
        }
        same = mailbox->Summary(number).serial == selection.serials[i];
        CMailMessage message;
        read = same && mailbox->ReadMessage(number, message) != 0;
      }
      if (!same || !read) {
        std::lock_guard lock(progressLock);
        (same ? unreadable : stale) = true;
        break;
      }
      Outcome verdict;
      verdict.verdict =
          mailbox->GetClassification(number, true, &verdict.reason, selection.serials[i]);
      std::lock_guard lock(progressLock);
      verdicts[i] = verdict;
    }
    std::lock_guard lock(progressLock);
    finished = true;
  });

  window.OpenProgress(kReclassifyTitle, total - 1);
  int shown = 0;
  window.WaitWithProgress(
      [&] {
        int begun = 0;
        bool done = false;
        {
          std::lock_guard lock(progressLock);
          begun = reached;
          done = finished;
        }
        // Every step is shown, in order, however far the work ran ahead.
        for (; shown < begun; ++shown) {
          window.StepProgress(shown, ReclassifyProgressText(shown + 1, total));
        }
        return done;
      },
      [&] { cancelled = true; });
  worker.join();

  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    if (!verdicts[i]) continue;
    // The rows may have been rebuilt, and numbers moved, while the window waited.
    if (!Current(*mailbox, selection, i)) {
      stale = true;
      continue;
    }
    list.SetRowClassAndReason(selection.rows[i], verdicts[i]->verdict, verdicts[i]->reason);
  }
  if (unreadable) window.ShowMessage(kReclassifyReadFailedText);
  window.CloseProgress();
  if (stale) return Rebuild();
  if (busy) Busy();
  window.Redraw();
  if (unreadable || busy) return CommandResult::Failed;
  return cancelled ? CommandResult::Cancelled : CommandResult::Done;
}

CommandResult CListCommands::SelectAll(bool shift) {
  std::vector<int> rows;
  if (!shift) {
    for (int row = 0; row < list.RowCount(); ++row) rows.push_back(row);
  }
  window.SetSelection(rows);
  return CommandResult::Done;
}

CommandResult CListCommands::SelectBy(SelectRule rule, bool shift, bool ctrl) {
  const std::vector<int> current = window.SelectedRows();
  window.SetSelection(SelectRows(list.Rows(), current, rule, shift, ctrl));
  return CommandResult::Done;
}

CommandResult CListCommands::ToggleDustbox() {
  list.ShowDustbox(!list.DustboxView());
  window.RowsChanged();
  window.SetSelection({});
  return CommandResult::Done;
}

CommandResult CListCommands::RestoreFromDustbox() {
  if (!list.DustboxView() || list.CurrentMailbox() == nullptr) return CommandResult::Nothing;
  Selection selection = Selected();
  if (selection.numbers.empty()) return CommandResult::Nothing;
  SortByNumber(selection.numbers, selection.rows, selection.serials);
  CMailbox& main = *list.CurrentMailbox();
  // One rewrite of the dustbox for all of them, all or none.
  const int restored = RemoveMails(*main.Dustbox(), selection, &main);
  if (restored == kStoreBusy) return Busy();
  if (restored == kRowsStale) return Rebuild();
  if (restored == static_cast<int>(selection.numbers.size())) return CommandResult::Done;
  window.ShowMessage(kRestoreFailedText);
  return CommandResult::Failed;
}

CommandResult CListCommands::MarkDustboxRead() {
  CMailbox* main = list.CurrentMailbox();
  if (main == nullptr) return CommandResult::Nothing;
  main->Dustbox()->MarkAllOpened();
  window.UpdateCounts();
  if (list.DustboxView()) {
    list.UpdateList();
    window.RowsChanged();
    window.SetSelection({});
  }
  return CommandResult::Done;
}

CommandResult CListCommands::LaunchMailer(bool shift) {
  const std::string path = settings.Get(settings::Mailer);
  if (path.empty()) {
    window.ShowMessage(kNoMailerText);
    return CommandResult::Failed;
  }
  if (shift) window.MinimiseAndHide();
  if (!StartMailer(path)) {
    window.ShowMessage(kMailerFailedText);
    return CommandResult::Failed;
  }
  return CommandResult::Done;
}

bool CListCommands::StartMailer(const std::string& setting) {
  const std::filesystem::path path(setting);
  std::error_code error;
  if (path.extension() == ".desktop") {
    // Read as any program reads them: the entries of installed applications are often links.
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const std::optional<ProgramCall> call = file ? DesktopEntryCall(text) : std::nullopt;
    return call && window.StartProgram(*call);
  }
  // A file that exists is opened whole, as the setting always meant: its path may hold blanks.
  if (std::filesystem::exists(path, error)) return window.OpenPath(setting);
  const std::optional<ProgramCall> call = SplitCommandLine(setting);
  return call && window.StartProgram(*call);
}

CommandResult CListCommands::Help() {
  std::error_code error;
  const std::filesystem::path path = std::filesystem::absolute(kHelpFile, error);
  // Absolute, so that the desktop's opener does not depend on its own idea of the directory.
  if (error || !std::filesystem::is_regular_file(path, error) || !window.OpenPath(path.string())) {
    window.ShowMessage(kNoHelpText);
    return CommandResult::Failed;
  }
  return CommandResult::Done;
}

std::string DocumentationPath(const std::string& program) {
  const std::filesystem::path folder =
      std::filesystem::path(program).parent_path() / kDocumentationFolder;
  return (folder / kDocumentationFile).lexically_normal().string();
}

CommandResult CListCommands::WebPage() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  const std::string path = error ? std::string() : DocumentationPath(program.string());
  if (path.empty() || !std::filesystem::is_regular_file(path, error) || !window.OpenPath(path)) {
    window.ShowMessage(kNoDocumentationText);
    return CommandResult::Failed;
  }
  return CommandResult::Done;
}

CommandResult CListCommands::ActivateMailbox(int index) {
  if (index < 0 || index >= mailboxes.Count()) return CommandResult::Nothing;
  window.ActivateMailbox(index);
  return CommandResult::Done;
}

}  // namespace qm
