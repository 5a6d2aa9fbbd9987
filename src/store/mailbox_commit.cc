// Changes that span several files of a mailbox and its dustbox: moving, restoring and deleting
// messages, and releasing server copies. Each one first writes its intent to N.txn, then changes
// the message files in an order that lets the next load tell how far it got from their sizes:
// the target's message file grows before the source's is replaced. Until that replacement the
// change can be undone (the target cut back); after it, it is completed (the marks files and
// server lists written as N.txn says).
#include <algorithm>
#include <functional>
#include <optional>

#include "platform/file_io.h"
#include "platform/report.h"
#include "store/commit_records.h"
#include "store/mailbox.h"
#include "store/mailbox_archives.h"

namespace qm {

namespace {

constexpr const char* kMoveFailed = "メールの移動に問題が発生しました。\n処理を中止します。";

PairMember MemberOf(const CMailbox& box) {
  return box.IsDustbox() ? PairMember::Dustbox : PairMember::Main;
}

// Adds to the server-list file the pairs a list does not hold yet; the file alone, so that it
// also serves at load, before the lists are read.
bool MergeIntoServerListFile(const std::string& path, const CUidList& deletedHereAdded,
                             const CUidList& pendingAdded) {
  if (deletedHereAdded.Count() == 0 && pendingAdded.Count() == 0) return true;
  CMailboxClient lists;
  if (!lists.LoadServerLists(path)) return false;
  lists.MergeAdded(deletedHereAdded, pendingAdded);
  return lists.SaveServerLists(path) != 0;
}

}  // namespace

std::vector<CMailMark> CMailbox::CurrentMarks() const {
  std::lock_guard lock(indexLock);
  return {marks.begin(), marks.begin() + messageCount};
}

Transaction CMailbox::NewIntent() const {
  Transaction intent;
  intent.deletedHereAdded = client->DeletedHere();
  intent.pendingAdded = client->PendingDeletions();
  return intent;
}

bool CMailbox::WriteIntent(const Transaction& intent) {
  // The intent records the message files' sizes: the appends in them must be durable first.
  for (CMailbox* box : {&Main(), Main().dustbox}) {
    if (box != nullptr && !box->SyncAppendsLocked()) return false;
  }
  int error = 0;
  if (ReplaceFileContent(TransactionFile(), EncodeTransaction(intent), &error)) return true;
  Log("MBX : File I/O Error.( " + TransactionFile() + "  :  errno = " + std::to_string(error) +
      " )");
  return false;
}

struct CMailbox::Removal {
  int number = 0;
  // The mark as it travels to the target; its unique id may have been emptied on the way.
  CMailMark mark;
  // The unique id before the move, and where its server copy goes (ServerCopyFate).
  std::string uidl;
  int fate = 0;
};

int CMailbox::RemoveMessages(std::vector<int> numbers, CMailbox* target) {
  // Look-ups may take seconds: messages not classified yet are classified before the lock.
  for (int n : numbers) {
    if (CMailMark::VerdictOf(Flags(n)) == VerdictUnclassified) GetClassification(n, false);
  }
  CReentrantGuard guard(storeLock);
  std::optional<CReentrantGuard> targetGuard;
  if (target != nullptr) targetGuard.emplace(target->storeLock);
  std::sort(numbers.begin(), numbers.end(), std::greater<>());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::erase_if(numbers, [this](int n) { return n < 1 || n > MessageCount(); });
  if (numbers.empty()) return 0;

  // A mail client's QUIT runs on its connection's thread while the user may change settings.
  const CMailboxConfig settings = ConfigSnapshot();
  std::vector<Removal> removals;
  for (int n : numbers) {
    Removal removal;
    removal.number = n;
    removal.mark = Mark(n);
    removal.uidl = removal.mark.uidl;
    removal.fate = ServerCopyFate(settings, removal.uidl, GetClassification(n, false), target);
    // Its server copy is about to be requested for deletion: the dustbox copy tracks none.
    if (target != nullptr && target == dustbox && removal.fate == 2) removal.mark.uidl.clear();
    removals.push_back(std::move(removal));
  }
  return CommitRemoval(removals, target);
}

int CMailbox::CommitRemoval(std::vector<Removal>& removals, CMailbox* target) {
  CMailbox& main = Main();
  std::lock_guard transaction(main.transactionLock);
  std::scoped_lock commits(main.commitLock, main.dustbox->commitLock);
  if (main.transactionOwed && !main.FinishTransaction()) {
    ShowMessage(kMoveFailed);
    return 0;
  }
  if (FileExists(TransactionFile())) {
    // An earlier change could not be undone in full; try again before starting another.
    main.RecoverTransaction();
    if (FileExists(TransactionFile())) {
      ShowMessage(kMoveFailed);
      return 0;
    }
  }

  std::vector<int> numbers;
  std::uint64_t movedBytes = 0;
  for (const Removal& removal : removals) {
    numbers.push_back(removal.number);
    movedBytes += StoredLength(removal.number);
  }

  // The intent: both marks files as they will be, and what the server lists gain.
  Transaction intent = NewIntent();
  const std::vector<CMailMark> current = CurrentMarks();
  std::vector<CMailMark> kept;
  for (std::size_t i = 0; i < current.size(); ++i) {
    if (std::find(numbers.begin(), numbers.end(), static_cast<int>(i + 1)) == numbers.end()) {
      kept.push_back(current[i]);
    }
  }
  intent.boxes.push_back({MemberOf(*this), FileLength(), FileLength() - movedBytes,
                          WriteMarksArchive(kept, kept.size())});
  const std::uint64_t targetSize = target != nullptr ? target->FileLength() : 0;
  if (target != nullptr) {
    std::vector<CMailMark> grown = target->CurrentMarks();
    for (const Removal& removal : removals) grown.push_back(removal.mark);
    intent.boxes.push_back({MemberOf(*target), targetSize, targetSize + movedBytes,
                            WriteMarksArchive(grown, grown.size())});
  }
  for (const Removal& removal : removals) {
    std::string messageId;
    // Only a server copy still known moves to a list, as ForgetDeleted and RequestServerDeletion
    // do below.
    if (removal.fate == 0 || !client->KnownMessageId(removal.uidl, messageId)) continue;
    (removal.fate == 1 ? intent.deletedHereAdded : intent.pendingAdded)
        .Add(removal.uidl, messageId);
  }
  if (!WriteIntent(intent)) {
    ShowMessage(kMoveFailed);
    return 0;
  }

  // Undoes what reached the target and drops the intent; the mailbox is as it was.
  auto undo = [&] {
    if (target == nullptr ||
        TruncateFile(target->MessageFile(), static_cast<std::int64_t>(targetSize))) {
      RemoveFile(TransactionFile());
    }
    ShowMessage(kMoveFailed);
    return 0;
  };
  int error = 0;
  if (target != nullptr) {
    CFileReader reader;
    if (!reader.Open(MessageFile())) return undo();
    std::string bytes;
    std::uint64_t end = targetSize;
    for (const Removal& removal : removals) {
      const int n = removal.number;
      bool opened = false;
      if (!reader.ReadAt(static_cast<std::int64_t>(offsets[n - 1]), StoredLength(n), bytes) ||
          !AppendToFile(target->MessageFile(), bytes, &error, &opened,
                        static_cast<std::int64_t>(end))) {
        Log("MBX : File I/O Error.( " + target->MessageFile() +
            "  :  errno = " + std::to_string(error ? error : reader.LastError()) + " )");
        return undo();
      }
      end += bytes.size();
    }
  }
  if (!RewriteWithout(numbers)) return undo();

  // Committed: the index follows the files, and the small files follow as soon as they can.
  if (target != nullptr) {
    std::vector<MailSummary> rows;
    for (const Removal& removal : removals) rows.push_back(Summary(removal.number));
    std::lock_guard lock(target->indexLock);
    for (std::size_t k = 0; k < removals.size(); ++k) {
      const int n = removals[k].number;
      const auto slot = static_cast<std::size_t>(++target->messageCount);
      target->GrowTo(slot + 1);
      target->offsets[slot] = target->offsets[slot - 1] + StoredLength(n);
      target->marks[slot - 1] = removals[k].mark;
      target->summaries[slot - 1] = std::move(rows[k]);
      target->digests[slot - 1] = digests[static_cast<std::size_t>(n - 1)];
    }
    target->marksDirty = true;
    target->digestsDirty = true;
    target->changed = true;
  }
  for (const Removal& removal : removals) {
    if (removal.fate == 1) client->ForgetDeleted(removal.uidl);
    if (removal.fate == 2) client->RequestServerDeletion(removal.uidl);
  }
  DropIndexEntries(numbers);
  main.transactionOwed = true;
  main.FinishTransaction();
  return static_cast<int>(removals.size());
}

bool CMailbox::FinishTransaction() {
  bool ok = true;
  for (CMailbox* box : {this, dustbox}) {
    if (box->marksDirty && !box->SaveMarksLocked()) ok = false;
  }
  if (client->ServerListsChanged() && !SaveServerLists()) ok = false;
  if (ok && !RemoveFile(TransactionFile())) ok = false;
  transactionOwed = !ok;
  return ok;
}

void CMailbox::ReleaseServerCopies() {
  for (int n = 1; n <= MessageCount(); ++n) {
    const CMailMark mark = Mark(n);
    if (!mark.uidl.empty() && mark.GetVerdict() == VerdictUnclassified) GetClassification(n, false);
  }
  CReentrantGuard guard(storeLock);
  CMailbox& main = Main();
  std::lock_guard transaction(main.transactionLock);
  std::scoped_lock commits(main.commitLock, main.dustbox->commitLock);
  if (main.transactionOwed && !main.FinishTransaction()) return;

  std::vector<std::pair<int, std::string>> released;
  for (int n = 1; n <= MessageCount(); ++n) {
    std::string uidl = Mark(n).uidl;
    if (uidl.empty() || config->KeepOnServerRule(GetClassification(n, false))) continue;
    released.emplace_back(n, std::move(uidl));
  }
  if (released.empty()) return;

  Transaction intent = NewIntent();
  std::vector<CMailMark> after = CurrentMarks();
  for (const auto& [n, uidl] : released) {
    after[static_cast<std::size_t>(n - 1)].uidl.clear();
    std::string messageId;
    if (client->KnownMessageId(uidl, messageId)) intent.pendingAdded.Add(uidl, messageId);
  }
  intent.boxes.push_back(
      {MemberOf(*this), FileLength(), FileLength(), WriteMarksArchive(after, after.size())});
  if (!WriteIntent(intent)) {
    ShowMessage("メールフラッグファイルが保存できません。");
    return;
  }
  for (const auto& [n, uidl] : released) {
    client->RequestServerDeletion(uidl);
    std::lock_guard lock(indexLock);
    marks[static_cast<std::size_t>(n - 1)].uidl.clear();
  }
  marksDirty = true;
  main.transactionOwed = true;
  main.FinishTransaction();
}

void CMailbox::RecoverTransaction() {
  const std::string path = TransactionFile();
  RemoveFile(path + ".new");
  std::string bytes;
  if (!ReadFileContent(path, bytes)) return;
  auto boxOf = [this](PairMember member) { return member == PairMember::Main ? this : dustbox; };
  const std::optional<Transaction> intent = DecodeTransaction(bytes);

  // The change reached its point of no return when the shrinking message file was replaced.
  enum class Outcome { Complete, Undo, Unknown } outcome = Outcome::Unknown;
  if (intent) {
    outcome = Outcome::Complete;
    for (const TransactionBox& box : intent->boxes) {
      if (box.sizeAfter >= box.sizeBefore) continue;
      const std::int64_t size = FileSize(boxOf(box.member)->MessageFile());
      outcome = size == static_cast<std::int64_t>(box.sizeAfter)    ? Outcome::Complete
                : size == static_cast<std::int64_t>(box.sizeBefore) ? Outcome::Undo
                                                                    : Outcome::Unknown;
    }
    for (const TransactionBox& box : intent->boxes) {
      const std::int64_t size = FileSize(boxOf(box.member)->MessageFile());
      if (box.sizeAfter > box.sizeBefore && outcome == Outcome::Complete &&
          size != static_cast<std::int64_t>(box.sizeAfter)) {
        outcome = Outcome::Unknown;
      }
      if (outcome == Outcome::Undo && size < static_cast<std::int64_t>(box.sizeBefore)) {
        outcome = Outcome::Unknown;
      }
    }
  }
  if (outcome == Outcome::Unknown) {
    // Nothing safe can be done with it; kept aside for whoever looks into it.
    Log("MBX : File ( " + path + " ) does not match the mailbox files; it was moved to " + path +
        ".damaged and the files are used as they are.");
    RenameFile(path, path + ".damaged");
    return;
  }

  bool done = true;
  if (outcome == Outcome::Complete) {
    done =
        MergeIntoServerListFile(ServerListFile(), intent->deletedHereAdded, intent->pendingAdded);
  }
  for (const TransactionBox& box : intent->boxes) {
    CMailbox* mailbox = boxOf(box.member);
    RemoveFile(mailbox->ScratchFile());
    if (outcome == Outcome::Complete) {
      done = done && ReplaceFileContent(mailbox->MarksFile(), box.marksFile) &&
             RemoveFile(mailbox->JournalFile());
    } else if (box.sizeAfter > box.sizeBefore) {
      done =
          done && TruncateFile(mailbox->MessageFile(), static_cast<std::int64_t>(box.sizeBefore));
    }
  }
  if (done && RemoveFile(path)) {
    Log("MBX : An interrupted change of ( " + name + " ) was " +
        (outcome == Outcome::Complete ? "completed." : "undone."));
  } else {
    Log("MBX : An interrupted change of ( " + name + " ) could not be " +
        (outcome == Outcome::Complete ? "completed" : "undone") + "; it is tried again later.");
  }
}

}  // namespace qm
