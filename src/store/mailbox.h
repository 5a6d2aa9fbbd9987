// One mailbox or its dustbox: the messages in the message file, their marks and list rows, the
// locks, the counters and the maildrop that the local POP3 server works on.
//
// Files of a mailbox named N (relative to the working directory): N.mbx the messages, oldest
// first, each ending with CR LF "." CR LF; N.flg the marks; N.cfg the settings and the remote
// account (main mailboxes only); N.svm the server lists (main mailboxes only); N.dig the digests
// of the messages, a cache (store/digest_cache.h). A dustbox is named N_dustbox and shares the
// settings and the client of its main mailbox.
//
// Marks are kept by position, so the message file and the marks file must always change
// together. Two more files see to that across a kill at any instant (store/commit_records.h):
// N.jnl holds the marks of the messages appended since N.flg was written, and N.txn the intent of
// a change that spans several files; Load completes or undoes what they describe.
//
// Message numbers are 1-based at every interface; arrays are indexed from 0.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/classifier.h"
#include "message/mail_mark.h"
#include "message/mail_message.h"
#include "platform/file_io.h"
#include "platform/locks.h"
#include "store/mail_record.h"
#include "store/mailbox_config.h"
#include "store/server_lists.h"

namespace qm {

struct Transaction;

// What the store tells the front end; installed once by the application.
class IStoreEvents {
 public:
  virtual ~IStoreEvents() = default;
  // The count of unread messages may have changed.
  virtual void UnreadChanged() {}
  // A mail client's deletions were applied at QUIT (`removed`: whether any message went).
  virtual void MaildropCommitted(class CMailbox& mailbox, bool removed) {
    (void)mailbox;
    (void)removed;
  }
};
void SetStoreEvents(IStoreEvents* events);
// The installed events, or ones that do nothing.
IStoreEvents& CurrentStoreEvents();

class CMailbox {
 public:
  // A main mailbox: it owns its dustbox, its settings and its client.
  static std::unique_ptr<CMailbox> CreateMain(const std::string& name,
                                              std::unique_ptr<CMailboxClient> client = nullptr);
  ~CMailbox();
  CMailbox(const CMailbox&) = delete;
  CMailbox& operator=(const CMailbox&) = delete;

  // ---- Files ----
  // Builds the mailbox (and its dustbox) from its files; 0 only when the message file cannot be
  // opened or created.
  int Load();
  int LoadConfig();
  int SaveConfig();
  int LoadMarks();
  int SaveMarks();
  int BuildSummaries();
  // Saves what changed: marks, settings and (for a main mailbox) the server lists. With
  // `SaveWait::No` a save that would wait for a change in progress on another thread is left
  // for the next call (result 1).
  enum class SaveWait { Yes, No };
  int Save(SaveWait wait = SaveWait::Yes);
  int SaveServerLists();
  // A server copy to be deleted, recorded with the message that was stored in its place.
  struct ServerCopy {
    std::string uidl;
    std::string messageId;
  };
  // Appends a message (its mark included); the new message number, or -1 with nothing
  // changed. `deletion`: the server copy this store decided to delete, recorded with it and
  // listed with the client. The append reaches the disk with the next save, change or
  // SyncStored, and never more than kSyncInterval after it was made while appends go on.
  int AppendMessage(CMailMessage& message, const ServerCopy* deletion = nullptr);
  // Makes the appends of this mailbox and its dustbox durable; false (logged) when the system
  // refused. Before a server may delete its copies, what was stored from them must be durable.
  bool SyncStored();
  static constexpr std::chrono::seconds kSyncInterval{2};
  // Fills `message` from stored message n (its mark included); 0 on a read failure.
  int ReadMessage(int n, CMailMessage& message);
  // The stored bytes of message n (1-based); false on a read failure.
  bool ReadStoredBytes(int n, std::string& bytes);
  // Removes the message, marks and settings files of this mailbox and its dustbox.
  void DeleteFiles();

  // ---- Operations ----
  // Stores a retrieved, classified message as its verdict's options say, and lists its server
  // copy with the client: known, or (deleteNow set) to be deleted in this session. The new
  // message's number where it went, or -1.
  int StoreRetrieved(CMailMessage& message, int& deleteNow);
  // Removes message n; with a target, appends it there first. 0 when nothing was removed.
  int RemoveMessage(int n, CMailbox* target);
  // Removes several messages with one rewrite of the message file, taking the same decisions
  // for each as RemoveMessage, highest number first. All or nothing: the number of messages
  // removed, or 0 when none was.
  int RemoveMessages(std::vector<int> numbers, CMailbox* target);
  int RestoreFromDustbox(int n);
  // `SaveWait::No`: a dustbox that a mail client holds is trimmed another time.
  void TrimDustbox(SaveWait wait = SaveWait::Yes);
  int SetHidden(int n);
  int ClearHidden(int n);
  int SetOpened(int n, bool on);
  void MarkAllOpened();
  int SetClassification(int n, int verdict, unsigned reason);
  // The verdict of message n, classifying it first when it is unclassified or `force` is set.
  // With a `serial`, message n is classified only while it is still the message of that serial.
  int GetClassification(int n, bool force, unsigned* reason = nullptr, std::uint64_t serial = 0);
  int UnopenedCount() const;
  int TakeChanged();
  void ResetCounters();
  void ReleaseServerCopies();

  // ---- Maildrop ----
  int OpenMaildrop();
  void CloseMaildrop();
  void MaildropStat(int& count, std::uint64_t& octets) const;
  int MaildropList(std::vector<int>& numbers, std::vector<std::uint64_t>& sizes) const;
  std::uint64_t MaildropSize(int k) const;
  int MaildropDelete(int k);
  void MaildropReset();
  int MaildropRetrieve(int k, std::string& bytes);
  std::string MaildropTop(int k, int lines);
  std::string MaildropUidl(int k);
  int MaildropUidlList(std::vector<int>& numbers, std::vector<std::string>& digests);
  // 0 when the client's deletions could not be applied (none of them was).
  int MaildropCommit();
  int MaildropCount() const { return maildropCount; }
  // MD5 of the stored bytes of the message at 0-based index i, 32 lower-case hex digits; empty on
  // a read failure. Computed once per message (when it is appended, or else when it is first
  // asked for) and kept, also across starts in N.dig.
  std::string MessageDigest(int i);

  // ---- Accessors ----
  const std::string& Name() const { return name; }
  int MessageCount() const {
    std::lock_guard lock(indexLock);
    return messageCount;
  }
  CMailbox* Dustbox() const { return dustbox; }
  CMailbox* MainMailbox() const { return mainMailbox; }
  bool IsDustbox() const { return mainMailbox != nullptr; }
  // Its files (or its main mailbox's) were deleted with DeleteFiles.
  bool IsDeleted() const { return Main().deleted; }
  // The settings, for the user-interface thread (which alone changes them) and for a retrieval
  // (which holds retrievalLock, as the settings pages do while they change them).
  CMailboxConfig& Config() const { return *config; }
  // Any other thread reads a copy, and every change from another thread than these goes through
  // EditConfig.
  CMailboxConfig ConfigSnapshot() const;
  void EditConfig(const std::function<void(CMailboxConfig&)>& edit);
  CMailboxClient& Client() const { return *client; }
  // Copies, and empty ones for a number that no longer exists: another thread may store or
  // remove messages meanwhile.
  MailSummary Summary(int n) const {
    std::lock_guard lock(indexLock);
    return n >= 1 && n <= messageCount ? summaries[n - 1] : MailSummary{};
  }
  // Every message's summary and flags in number order, read under one hold of the index lock:
  // never waits for a mail client or a retrieval.
  std::vector<ListedMail> Listing() const;
  CMailMark Mark(int n) const {
    std::lock_guard lock(indexLock);
    return n >= 1 && n <= messageCount ? marks[n - 1] : CMailMark{};
  }
  std::uint32_t Flags(int n) const { return Mark(n).flags; }
  // Only while holding storeLock, or on a mailbox no other thread reaches.
  std::uint64_t StoredLength(int n) const { return offsets[n] - offsets[n - 1]; }
  std::uint64_t FileLength() const { return offsets[messageCount]; }

  void SetClassifier(IClassifier* classifier);
  IClassifier* Classifier() const { return classifier; }
  void MarkConfigDirty() { configDirty = true; }
  bool MarksDirty() const { return marksDirty; }
  bool ConfigDirty() const { return configDirty; }
  // Reads and clears the new-mail flag.
  bool TakeNewMail() { return newMail.exchange(false); }

  std::string MessageFile() const { return name + ".mbx"; }
  std::string MarksFile() const { return name + ".flg"; }
  std::string ConfigFile() const { return name + ".cfg"; }
  std::string ServerListFile() const { return name + ".svm"; }
  std::string ScratchFile() const { return name + ".tmp"; }
  std::string JournalFile() const { return name + ".jnl"; }
  std::string DigestFile() const { return name + ".dig"; }
  // One for a mailbox and its dustbox, named after the mailbox.
  std::string TransactionFile() const { return Main().name + ".txn"; }

  CReentrantLock storeLock;
  COneSlotSemaphore retrievalLock;
  std::atomic<std::uint32_t> friendCount{0};
  std::atomic<std::uint32_t> badCount{0};
  std::atomic<std::uint32_t> spamCount{0};
  std::atomic<std::uint32_t> otherCount{0};

 private:
  CMailbox(std::string mailboxName, CMailbox* main);

  struct Removal;
  const CMailbox& Main() const { return mainMailbox != nullptr ? *mainMailbox : *this; }
  CMailbox& Main() { return mainMailbox != nullptr ? *mainMailbox : *this; }

  int LoadMessageFile();
  // Marks from N.jnl for the messages past the first `marksRead`; the server copies those
  // messages were stored to delete go to `deletions`. True when a mark was taken from it.
  bool ApplyJournal(std::size_t marksRead, CUidList& deletions);
  int SaveMarksLocked();
  int SaveConfigLocked();
  // Makes the appends not yet durable so. commitLock held by the caller.
  bool SyncAppendsLocked();
  // Takes the digests of N.dig when it matches the message file as loaded; else they are
  // computed again when asked for.
  void LoadDigests();
  // Writes N.dig when a digest is known (else removes it). A cache: a failure is only logged.
  void SaveDigestsLocked();
  // Stores a computed digest; storeLock held.
  void KeepDigest(std::size_t i, const std::array<std::uint8_t, 16>& digest);
  bool RewriteWithout(const std::vector<int>& sortedDescending);
  void DropIndexEntries(const std::vector<int>& sortedDescending);
  void GrowTo(std::size_t size);
  // Where the server copy of a message removed here goes (`target`: where the message moved, if
  // anywhere): 1 to the mails deleted here, 2 to the pending deletions, 0 nowhere.
  int ServerCopyFate(const CMailboxConfig& settings, const std::string& uidl, int verdict,
                     const CMailbox* target) const;

  // ---- Changes of several files at once (mailbox_commit.cc) ----
  // Completes or undoes the change that N.txn describes; runs first in Load.
  void RecoverTransaction();
  // Writes what a committed change still owes to the marks files and the server lists, then
  // drops N.txn; false while that cannot be written. Both commitLocks held by the caller.
  bool FinishTransaction();
  int CommitRemoval(std::vector<Removal>& removals, CMailbox* target);
  // Every mark as it is now, taken under indexLock.
  std::vector<CMailMark> CurrentMarks() const;
  // An intent whose server lists start as the lists are now, which may not be saved yet (the
  // journals that hold their latest entries go with the marks files).
  Transaction NewIntent() const;
  // Writes N.txn; false with the error logged when it cannot be written.
  bool WriteIntent(const Transaction& intent);

  // Guards the arrays and the count below for the moment of each change or read, so that the
  // user-interface thread can mark and list messages while a mail client holds storeLock. The
  // innermost lock: never held across file work or while taking another lock.
  mutable std::mutex indexLock;
  // Serialises the writers of this mailbox's marks and settings files with the appends whose
  // marks N.jnl holds, without waiting for a mail client the way storeLock does. Taken after
  // storeLock and the pair's transactionLock, before indexLock.
  std::mutex commitLock;
  // Of a main mailbox: one change of several files at a time for the pair (they share N.txn).
  std::mutex transactionLock;
  // Of a main mailbox: guards `config` against copies taken on other threads.
  mutable std::mutex configLock;
  // Of a main mailbox: its files were deleted; nothing may bring them back.
  std::atomic<bool> deleted{false};
  // Of a main mailbox: a committed change has not yet written all of its small files.
  std::atomic<bool> transactionOwed{false};
  // Counts removals, so that a message classified without the lock is known to be the same one.
  std::uint64_t generation = 0;
  // What the last LoadMarks took from N.jnl: marks, and server copies to delete.
  bool journalApplied = false;
  bool journalDeletions = false;
  // Under commitLock: since when the journal and the message file hold appends that are not
  // durable yet (an fsync per retrieved message would cost more than the network).
  bool unsynced = false;
  std::chrono::steady_clock::time_point unsyncedSince;

  std::vector<std::uint32_t> maildropMap;
  // The message file, open from the first RETR or TOP until the maildrop closes or commits: the
  // connection holds storeLock meanwhile, so nothing rewrites the file under it.
  CFileReader maildropReader;
  std::vector<std::uint8_t> maildropDeleted;
  int maildropCount = 0;
  CMailbox* dustbox = nullptr;
  CMailbox* mainMailbox = nullptr;
  int messageCount = 0;
  std::string name;
  CMailboxConfig* config = nullptr;
  std::atomic<bool> marksDirty{false};
  // The digests known differ from what N.dig holds.
  std::atomic<bool> digestsDirty{false};
  std::atomic<bool> configDirty{false};
  std::atomic<bool> newMail{false};
  std::atomic<bool> changed{false};
  std::vector<CMailMark> marks;
  std::vector<std::uint64_t> offsets;
  CMailboxClient* client = nullptr;
  std::vector<MailSummary> summaries;
  // Digest of each stored message once computed; moves with its message. Changed with storeLock
  // and indexLock held, so either lock is enough to read it.
  std::vector<std::optional<std::array<std::uint8_t, 16>>> digests;
  IClassifier* classifier = nullptr;

  std::unique_ptr<CMailbox> ownedDustbox;
  std::unique_ptr<CMailboxConfig> ownedConfig;
  std::unique_ptr<CMailboxClient> ownedClient;
};

}  // namespace qm
