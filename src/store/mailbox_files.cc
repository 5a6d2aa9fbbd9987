// Loading and saving a mailbox's files. Every rewrite of an existing file goes to a scratch file
// that is synced and renamed over the old one, so a crash leaves the old or the new file whole.
#include <algorithm>
#include <cstring>

#include "platform/file_io.h"
#include "platform/report.h"
#include "store/commit_records.h"
#include "store/digest_cache.h"
#include "store/mailbox.h"
#include "store/mailbox_archives.h"
#include "store/md5.h"

namespace qm {

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";
constexpr std::size_t kChunk = 1 << 20;

std::string ErrnoText(int error) { return std::to_string(error); }

}  // namespace

int CMailbox::Load() {
  if (IsDustbox()) return 0;
  RecoverTransaction();
  LoadConfig();
  // First, so that the deletions the journals recorded can join them.
  client->LoadServerLists(ServerListFile());
  for (CMailbox* box : {this, dustbox}) {
    if (!box->LoadMessageFile()) {
      // A dustbox used with an empty index while its file holds mail would index the next
      // message from offset 0, and a restore, purge or trim could then empty the whole file.
      if (box != this) Log("MBX : The dustbox ( " + box->MessageFile() + " ) could not be loaded.");
      return 0;
    }
    box->LoadMarks();
    box->BuildSummaries();
    box->LoadDigests();
  }
  // What the journals gave is written down at once, so that the files alone say what the
  // mailbox holds.
  bool deletionsMerged = false;
  for (CMailbox* box : {this, dustbox}) {
    deletionsMerged = deletionsMerged || box->journalDeletions;
    if (box->journalApplied) box->SaveMarks();
  }
  if (deletionsMerged) SaveServerLists();
  return 1;
}

// Indexes the message file by its terminators, reading it in chunks so that memory grows with the
// number of messages, not their size. Bytes after the last terminator (a message cut off by a
// crash) are moved to N.partial and cut from the message file, so that they can never merge with
// the next message appended.
int CMailbox::LoadMessageFile() {
  const std::string path = MessageFile();
  int error = 0;
  if (!FileExists(path) && !AppendToFile(path, {}, &error)) {
    Log("MBX : File ( " + path + " ) could not be opend. ( errno = " + ErrnoText(error) + " )");
    return 0;
  }
  CFileReader reader;
  if (!reader.Open(path)) {
    Log("MBX : File ( " + path +
        " ) could not be opend. ( errno = " + ErrnoText(reader.LastError()) + " )");
    return 0;
  }
  messageCount = 0;
  ++generation;
  offsets.assign(100, 0);
  marks.clear();
  summaries.clear();
  digests.clear();

  const std::uint64_t size = static_cast<std::uint64_t>(reader.Size());
  std::string window;  // the unscanned end of the previous chunk, then the new chunk
  std::uint64_t windowStart = 0;
  std::vector<char> chunk(kChunk);
  std::uint64_t readSoFar = 0;
  while (readSoFar < size) {
    const std::int64_t n = reader.Read(chunk.data(), chunk.size());
    if (n <= 0) break;
    readSoFar += static_cast<std::uint64_t>(n);
    window.append(chunk.data(), static_cast<std::size_t>(n));
    std::size_t pos = 0;
    while (true) {
      const std::size_t at = window.find(kTerminator, pos);
      if (at == std::string::npos) break;
      pos = at + kTerminator.size();
      ++messageCount;
      GrowTo(static_cast<std::size_t>(messageCount) + 1);
      offsets[messageCount] = windowStart + pos;
    }
    // Keep what a terminator could still start in; never less than the last match's end.
    const std::size_t keepFrom = std::max(pos, window.size() > kTerminator.size() - 1
                                                   ? window.size() - (kTerminator.size() - 1)
                                                   : std::size_t{0});
    windowStart += keepFrom;
    window.erase(0, keepFrom);
  }
  GrowTo(static_cast<std::size_t>(messageCount) + 1);

  if (readSoFar != size) {
    Log("MBX : File I/O Error.( " + path + "  :  errno = " + ErrnoText(reader.LastError()) + " )");
    messageCount = 0;
    return 0;
  }
  const std::uint64_t end = offsets[messageCount];
  if (end < size) {
    std::string tail;
    const std::string partial = name + ".partial";
    if (reader.ReadAt(end, static_cast<std::size_t>(size - end), tail) &&
        AppendToFile(partial, tail, &error) && TruncateFile(path, end, &error)) {
      Log("MBX : File ( " + path + " ) ended in an incomplete message; " +
          std::to_string(size - end) + " bytes moved to " + partial + ".");
    } else {
      // Appending after those bytes would glue the next message to them: refuse the mailbox.
      Log("MBX : File ( " + path + " ) ends in an incomplete message that could not be cut off. " +
          "( errno = " + ErrnoText(error) + " )");
      messageCount = 0;
      return 0;
    }
  }
  return 1;
}

int CMailbox::LoadConfig() {
  std::string content;
  if (!ReadFileContent(ConfigFile(), content)) return 0;
  if (!ReadConfigArchive(content, *config, client->account)) {
    // Half a settings file is worse than none: the defaults are at least consistent.
    Log("MBX : File ( " + ConfigFile() + " ) is damaged; the mailbox uses the default settings.");
    *config = CMailboxConfig{};
    client->account = CRemoteAccount{};
    configDirty = true;
    return 0;
  }
  configDirty = false;
  return 1;
}

int CMailbox::SaveConfig() {
  std::lock_guard commit(commitLock);
  return SaveConfigLocked();
}

int CMailbox::SaveConfigLocked() {
  int error = 0;
  // Cleared before the snapshot: a change made while the file is written marks it dirty again.
  configDirty = false;
  if (!ReplaceFileContent(ConfigFile(), WriteConfigArchive(ConfigSnapshot(), client->account),
                          &error)) {
    configDirty = true;
    ShowMessage("confファイルが保存できません。");
    return 0;
  }
  return 1;
}

int CMailbox::LoadMarks() {
  const std::size_t wanted = static_cast<std::size_t>(messageCount) + 1;
  std::string content;
  std::vector<CMailMark> loaded;
  std::uint32_t count = 0;
  bool whole = true;
  if (ReadFileContent(MarksFile(), content)) {
    whole = ReadMarksArchive(content, loaded, count);
    if (!whole) {
      Log("MBX : File ( " + MarksFile() + " ) is damaged; " + std::to_string(loaded.size()) +
          " marks read, the other messages are marked afresh.");
    }
  }
  const std::size_t recordsRead = loaded.size();
  marks = std::move(loaded);
  if (marks.size() < wanted) marks.resize(wanted);
  GrowTo(marks.size());
  CUidList deletions;
  journalApplied = ApplyJournal(recordsRead, deletions);
  journalDeletions = deletions.Count() != 0;
  if (journalDeletions) client->MergeAdded(CUidList{}, deletions);
  // Messages whose server copy is tracked are known to the client, so that retrieval does not
  // fetch them again.
  CFileReader messages;
  std::string bytes;
  for (int i = 0; i < messageCount; ++i) {
    if (marks[i].uidl.empty()) continue;
    if (!messages.IsOpen() && !messages.Open(MessageFile())) break;
    if (!messages.ReadAt(offsets[i], static_cast<std::size_t>(StoredLength(i + 1)), bytes)) {
      continue;
    }
    MailHeader header;
    header.SetText(bytes);
    std::string messageId;
    header.GetField("Message-ID", messageId);
    client->RegisterKnown(marks[i].uidl, messageId);
  }
  marksDirty = !whole || journalApplied || count != static_cast<std::uint32_t>(messageCount);
  return whole ? 1 : 0;
}

bool CMailbox::ApplyJournal(std::size_t marksRead, CUidList& deletions) {
  std::string content;
  if (!ReadFileContent(JournalFile(), content)) return false;
  bool applied = false;
  const auto begin = offsets.begin();
  const auto end = begin + messageCount;
  for (const AppendRecord& record : DecodeAppendRecords(content)) {
    // A record whose message never reached the file finds none at its offset.
    const auto at = std::lower_bound(begin, end, record.offset);
    if (at == end || *at != record.offset) continue;
    const auto i = static_cast<std::size_t>(at - begin);
    if (offsets[i + 1] - offsets[i] != record.length) continue;
    // The marks file may already hold the mark, but the server lists may not yet hold the
    // deletion: the marks are saved first.
    if (!record.pendingUidl.empty()) deletions.Add(record.pendingUidl, record.pendingMessageId);
    if (i < marksRead) continue;
    marks[i].flags = record.flags;
    marks[i].uidl = record.uidl;
    applied = true;
  }
  return applied;
}

int CMailbox::SaveMarks() {
  std::lock_guard commit(commitLock);
  return SaveMarksLocked();
}

bool CMailbox::SyncAppendsLocked() {
  if (!unsynced) return true;
  for (const std::string& file : {JournalFile(), MessageFile()}) {
    int error = 0;
    if (!SyncFileAt(file, &error)) {
      Log("MBX : File I/O Error.( " + file + "  :  errno = " + ErrnoText(error) + " )");
      return false;
    }
  }
  unsynced = false;
  return true;
}

bool CMailbox::SyncStored() {
  bool ok = true;
  for (CMailbox* box : {this, dustbox}) {
    if (box == nullptr) continue;
    std::lock_guard commit(box->commitLock);
    if (!box->SyncAppendsLocked()) ok = false;
  }
  return ok;
}

int CMailbox::SaveMarksLocked() {
  // The marks file takes over from the journal: the messages it describes must be on disk first.
  if (!SyncAppendsLocked()) return 0;
  std::string bytes;
  {
    // Cleared with the snapshot: a change made while the file is written marks it dirty again.
    std::lock_guard lock(indexLock);
    bytes = WriteMarksArchive(marks, static_cast<std::size_t>(messageCount));
    marksDirty = false;
  }
  int error = 0;
  if (!ReplaceFileContent(MarksFile(), bytes, &error)) {
    marksDirty = true;
    ShowMessage("メールフラッグファイルが保存できません。");
    return 0;
  }
  // The journal also holds the server copies its messages were stored to delete: it goes only
  // once the server lists hold them too. Every mark it held is in the marks file now; appends
  // (and the deletions they list) wait for commitLock, so none came in between.
  if (!Main().client->ServerListsChanged() || SaveServerLists()) RemoveFile(JournalFile());
  return 1;
}

int CMailbox::BuildSummaries() {
  GrowTo(static_cast<std::size_t>(messageCount) + 1);
  if (messageCount == 0) return 1;
  CFileReader reader;
  if (!reader.Open(MessageFile())) return 0;
  // One sequential pass over the file, one message in memory at a time.
  std::string bytes;
  for (int n = 1; n <= messageCount; ++n) {
    if (!reader.ReadAt(offsets[n - 1], static_cast<std::size_t>(StoredLength(n)), bytes)) {
      return 0;
    }
    CMailMessage message;
    message.Parse(bytes);
    message.mark = marks[n - 1];
    MakeSummary(message, summaries[n - 1]);
  }
  return 1;
}

int CMailbox::Save(SaveWait wait) {
  std::unique_lock commit(commitLock, std::defer_lock);
  if (wait == SaveWait::Yes) {
    commit.lock();
  } else if (!commit.try_lock()) {
    return 1;
  }
  int ok = 1;
  if (Main().transactionOwed && !IsDustbox()) {
    // The change also wrote the dustbox's marks; its commitLock comes after this one.
    std::unique_lock dustboxCommit(dustbox->commitLock, std::defer_lock);
    if (wait == SaveWait::Yes) {
      dustboxCommit.lock();
    } else if (!dustboxCommit.try_lock()) {
      return 1;
    }
    if (!FinishTransaction()) ok = 0;
  }
  if (marksDirty && !SaveMarksLocked()) ok = 0;
  if (!IsDustbox() && configDirty && !SaveConfigLocked()) ok = 0;
  if (!IsDustbox() && client->ServerListsChanged() && !SaveServerLists()) ok = 0;
  if (digestsDirty) SaveDigestsLocked();
  return ok;
}

void CMailbox::LoadDigests() {
  std::string bytes;
  if (!ReadFileContent(DigestFile(), bytes)) return;
  const std::optional<DigestCache> cache = DecodeDigestCache(bytes);
  MessageFileStamp stamp;
  bool usable = cache && StampOfFile(MessageFile(), stamp) && cache->stamp == stamp &&
                stamp.size == offsets[static_cast<std::size_t>(messageCount)] &&
                cache->messageCount == static_cast<std::uint32_t>(messageCount) &&
                ModifiedAfter(DigestFile(), cache->stamp);
  std::vector<std::size_t> where;
  for (std::size_t k = 0; usable && k < cache->entries.size(); ++k) {
    const DigestEntry& entry = cache->entries[k];
    const auto begin = offsets.begin();
    const auto end = begin + messageCount;
    const auto at = std::lower_bound(begin, end, entry.offset);
    const auto i = static_cast<std::size_t>(at - begin);
    usable = at != end && *at == entry.offset && offsets[i + 1] - offsets[i] == entry.length;
    where.push_back(i);
  }
  if (!usable) {
    // Written before the message file last changed (or damaged): none of it is trusted.
    Log("MBX : File ( " + DigestFile() + " ) does not match ( " + MessageFile() +
        " ); the digests are computed afresh.");
    digestsDirty = true;
    return;
  }
  for (std::size_t k = 0; k < where.size(); ++k) digests[where[k]] = cache->entries[k].digest;
  digestsDirty = false;
}

void CMailbox::SaveDigestsLocked() {
  DigestCache cache;
  std::uint64_t length = 0;
  {
    // Cleared with the snapshot: a digest computed meanwhile marks it dirty again.
    std::lock_guard lock(indexLock);
    digestsDirty = false;
    cache.messageCount = static_cast<std::uint32_t>(messageCount);
    length = offsets[static_cast<std::size_t>(messageCount)];
    for (std::size_t i = 0; i < static_cast<std::size_t>(messageCount); ++i) {
      if (digests[i])
        cache.entries.push_back({offsets[i], offsets[i + 1] - offsets[i], *digests[i]});
    }
  }
  // commitLock keeps the message file as the index describes it while the stamp is taken.
  if (cache.entries.empty()) {
    RemoveFile(DigestFile());
    return;
  }
  int error = 0;
  if (!StampOfFile(MessageFile(), cache.stamp) || cache.stamp.size != length) {
    digestsDirty = true;
    return;
  }
  if (!ReplaceFileContent(DigestFile(), EncodeDigestCache(cache), &error)) {
    digestsDirty = true;
    Log("MBX : File I/O Error.( " + DigestFile() + "  :  errno = " + ErrnoText(error) + " )");
    return;
  }
  // Written within the tick of the message file's last change, it would not be trusted at load:
  // the next save writes it again.
  if (!ModifiedAfter(DigestFile(), cache.stamp)) digestsDirty = true;
}

int CMailbox::SaveServerLists() {
  CMailbox& main = Main();
  return main.client->SaveServerLists(main.ServerListFile());
}

int CMailbox::AppendMessage(CMailMessage& message, const ServerCopy* deletion) {
  CReentrantGuard guard(storeLock);
  const std::string path = MessageFile();
  // An empty message arrives as the terminating line alone, which would merge with the next
  // message when the file is split again; stored with its empty line, it stays one message.
  const std::string_view text =
      message.Text() == kTerminator.substr(2) ? kTerminator : message.Text();
  const std::size_t end = text.size() - std::min(text.size(), kTerminator.size());
  if (!text.ends_with(kTerminator) || text.find(kTerminator) != end) {
    Log("MBX : A message that would not split back whole was not stored in ( " + path + " ).");
    return -1;
  }
  // Taken before the check: a change in progress holds it until it has saved its marks.
  std::lock_guard commit(commitLock);
  if (IsDeleted()) {
    Log("MBX : ( " + path + " ) was deleted; the message was not stored.");
    return -1;
  }
  if (Main().transactionOwed) {
    // The marks files still describe the mailbox as it was before the last change; a message
    // appended now would take its marks from the wrong records after a crash.
    Log("MBX : ( " + path + " ) waits for its marks to be saved; the message was not stored.");
    return -1;
  }
  AppendRecord record;
  record.offset = offsets[static_cast<std::size_t>(messageCount)];
  record.length = text.size();
  record.flags = message.mark.flags;
  record.uidl = message.mark.uidl;
  if (deletion != nullptr) {
    record.pendingUidl = deletion->uidl;
    record.pendingMessageId = deletion->messageId;
  }
  // The mark first: a message that reached the file without it would be fetched again. Both
  // are synced together later: a kill cannot lose what was written, only a system crash can, and
  // the server deletes nothing before SyncStored.
  const auto append = [](const std::string& file, std::string_view bytes, std::int64_t at) {
    int error = 0;
    bool opened = false;
    if (AppendToFile(file, bytes, &error, &opened, at, Durability::Later)) return true;
    Log(opened ? "MBX : File I/O Error.( " + file + "  :  errno = " + ErrnoText(error) + " )"
               : "MBX : File ( " + file + " ) could not be opend. ( errno = " + ErrnoText(error) +
                     " )");
    return false;
  };
  if (!append(JournalFile(), EncodeAppendRecord(record), -1) ||
      !append(path, text, static_cast<std::int64_t>(record.offset))) {
    return -1;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!unsynced) {
    unsynced = true;
    unsyncedSince = now;
  } else if (now - unsyncedSince >= kSyncInterval) {
    // Stored, whatever the sync says: the next save or sync tries again and reports it.
    SyncAppendsLocked();
  }
  // Listed before commitLock goes, so that no save of the marks finds the message without it.
  if (deletion != nullptr) client->RememberSentDeletion(deletion->uidl, deletion->messageId);
  MailSummary summary;
  MakeSummary(message, summary);
  CMd5 md5;
  md5.Update(text);
  std::lock_guard lock(indexLock);
  ++messageCount;
  const auto n = static_cast<std::size_t>(messageCount);
  GrowTo(n + 1);
  offsets[n] = offsets[n - 1] + text.size();
  marks[n - 1] = message.mark;
  summaries[n - 1] = std::move(summary);
  digests[n - 1] = md5.Final();
  digestsDirty = true;
  marksDirty = true;
  changed = true;
  return messageCount;
}

bool CMailbox::ReadStoredBytes(int n, std::string& bytes) {
  CReentrantGuard guard(storeLock);
  if (n < 1 || n > messageCount) return false;
  CFileReader reader;
  if (!reader.Open(MessageFile())) {
    ShowMessage(
        "メールボックスファイルを開くことが出来ません。ファイルが破損した可能性があります。");
    return false;
  }
  if (!reader.ReadAt(offsets[n - 1], static_cast<std::size_t>(StoredLength(n)), bytes)) {
    ShowMessage("メールボックスファイルが破損した可能性があります。");
    return false;
  }
  return true;
}

int CMailbox::ReadMessage(int n, CMailMessage& message) {
  CReentrantGuard guard(storeLock);
  std::string bytes;
  if (!ReadStoredBytes(n, bytes)) return 0;
  message.Parse(bytes);
  message.mark = marks[n - 1];
  return 1;
}

void CMailbox::DeleteFiles() {
  if (!IsDustbox()) deleted = true;
  int error = 0;
  // The change records first: left alone, they would be applied to a new mailbox of this name.
  if (!IsDustbox()) RemoveFile(TransactionFile(), &error);
  for (const std::string& path :
       {JournalFile(), MessageFile(), MarksFile(), ConfigFile(), DigestFile()}) {
    RemoveFile(path, &error);
  }
  if (dustbox != nullptr) dustbox->DeleteFiles();
}

// Writes the message file without the given messages (1-based, highest first) into N.tmp and
// renames it over N.mbx: until the rename the old file is whole, after it the new one.
bool CMailbox::RewriteWithout(const std::vector<int>& sortedDescending) {
  const std::string path = MessageFile();
  CFileReader reader;
  CAtomicFileWriter writer;
  if (!reader.Open(path) || !writer.Open(path, ScratchFile())) {
    Log("MBX : File I/O Error.( " + path + "  :  errno = " +
        ErrnoText(reader.LastError() ? reader.LastError() : writer.LastError()) + " )");
    return false;
  }
  std::string buffer;
  auto copy = [&](std::uint64_t from, std::uint64_t to) {
    while (from < to) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, to - from));
      if (!reader.ReadAt(from, n, buffer) || !writer.Write(buffer)) return false;
      from += n;
    }
    return true;
  };
  std::uint64_t position = 0;
  bool ok = true;
  for (auto it = sortedDescending.rbegin(); ok && it != sortedDescending.rend(); ++it) {
    ok = copy(position, offsets[*it - 1]);
    position = offsets[*it];
  }
  ok = ok && copy(position, offsets[messageCount]) && writer.Commit();
  if (!ok) {
    Log("MBX : File I/O Error.( " + path + "  :  errno = " +
        ErrnoText(writer.LastError() ? writer.LastError() : reader.LastError()) + " )");
    writer.Abort();
  }
  return ok;
}

}  // namespace qm
