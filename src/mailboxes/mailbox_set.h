// The program's mailboxes in the user's order, kept in the settings file, with the local accounts
// through which the mail client reaches them and the queries the front ends and the
// notification ask.
//
// Indices are 0-based; where an operation takes an index, -1 means every mailbox if it says so.
// Only the user-interface thread adds, removes or reorders mailboxes and changes their settings;
// local POP3 connections (logins, on-demand retrievals) and retrieval request threads read the
// set meanwhile. The set's lock guards the arrays, and the settings that those threads read
// outside a mailbox's retrievalLock: the local accounts and options a login reads, the interval a
// timer reads. A removed mailbox stays alive until the set goes, so a pointer taken from the set
// never dangles.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mailboxes/retrieval_host.h"
#include "store/mailbox.h"
#include "store/mailbox_config.h"

namespace qm {

class CProfile;

// The login names and passwords of a mailbox on the local POP3 server.
struct LocalAccount {
  std::string user;
  std::string password;
  bool dustboxAccess = false;
  std::string dustboxUser;
  std::string dustboxPassword;
};

// The counters of one mailbox, or their sums.
struct MailStatistics {
  std::uint32_t friendCount = 0;
  std::uint32_t badCount = 0;
  std::uint32_t spamCount = 0;
  std::uint32_t otherCount = 0;
  // A counter is above 0 whose verdict the mailbox's options notify.
  bool notify = false;
  bool newMail = false;
};

// What becomes of the mails that were deleted here but kept on the server, when the server
// deletion policy changes while an exemption is set (the user's answer to that question).
enum class DeletedHereAnswer {
  Delete,   // delete them on the server at the next retrieval
  Keep,     // leave them on the server, never fetched again
  Refetch,  // forget them, so that the next retrieval fetches them again
};

class CMailboxSet {
 public:
  // Where the settings file lists the mailboxes.
  static constexpr const char* kListSection = "Mailbox";
  static constexpr const char* kListKey = "Mailboxes";

  // Add results below 0.
  static constexpr int kNameInUse = -1;
  static constexpr int kOutOfMemory = -2;
  static constexpr int kCannotCreate = -3;

  explicit CMailboxSet(CProfile& settings);
  ~CMailboxSet();
  CMailboxSet(const CMailboxSet&) = delete;
  CMailboxSet& operator=(const CMailboxSet&) = delete;

  // ---- Membership and order ----
  // Adds every mailbox the settings list, in order; names that cannot be added are skipped.
  int LoadAll();
  // Writes the list of the current order; 0 when the settings file could not be written.
  int SaveList();
  // Creates and loads the mailbox (adopting its files when they exist) and appends it: its index,
  // or kNameInUse, kOutOfMemory or kCannotCreate with the set unchanged. The name is trimmed.
  int Add(std::string_view name);
  // Deletes the mailbox's files (not its server lists) and drops it without saving it again; 0
  // with nothing changed while a retrieval runs on it or a mail client is logged in to it or to
  // its dustbox.
  int Remove(int index);
  CMailbox* Get(int index) const;
  int Count() const;
  // The index of the mailbox with this (trimmed) name, or -1.
  int Find(std::string_view name) const;
  // The index of the mailbox, or of the main mailbox of a dustbox; -1 once it was removed.
  int IndexOf(const CMailbox& mailbox) const;
  int MoveUp(int index);
  int MoveDown(int index);

  // The retrieval timer of each index, 0 when it has none; moves with its mailbox. Any thread.
  std::uint32_t TimerId(int index) const;
  void SetTimerId(int index, std::uint32_t id);

  // ---- Local accounts ----
  // Sets the local account of the mailbox: 0 when the index is invalid or a login name clashes
  // (see LoginNameOwner), with nothing changed. Without dustbox access the dustbox names are
  // emptied.
  int AssignLocalAccount(int index, const LocalAccount& account);
  // The index of a mailbox other than `exceptIndex` whose local user name, or whose dustbox user
  // name while its dustbox access is on, is `loginName`; -1 when none. An empty name is never in
  // use: nobody can log in with it.
  int LoginNameOwner(int exceptIndex, std::string_view loginName) const;
  // From index 0 on, the first mailbox whose local account this is, or the dustbox whose dustbox
  // account it is, and the index of its main mailbox; nullptr when none. Empty names or
  // passwords never match. Any thread.
  CMailbox* FindLogin(std::string_view user, std::string_view password,
                      int* mainIndex = nullptr) const;

  // ---- Settings ----
  // Runs `edit` on the settings of the mailbox at `index` while no other thread reads them, and
  // marks them for saving; 0 for an invalid index. User-interface thread, which alone changes
  // settings and so reads them without the lock; the caller holds the mailbox's retrievalLock,
  // which keeps its retrievals from reading them. `edit` must not call the set.
  int EditConfig(int index, const std::function<void(CMailboxConfig&)>& edit);

  // ---- Queries; index -1 sums over every mailbox, any other invalid index gives -1 ----
  int UnopenedCount(int index) const;
  int MessageCount(int index) const;
  int DustboxUnopenedCount(int index) const;
  int DustboxMessageCount(int index) const;
  // The counters of one mailbox or the sums, and whether to notify; clears the new-mail flag of
  // what it covers. 0 for an invalid index.
  int Statistics(int index, MailStatistics& out);
  // The lowest index whose counters its own options notify, or -1.
  int FirstToNotify() const;
  int ResetCounters(int index);

  // The classifier every mailbox, present and future, uses for unclassified mail.
  void SetClassifier(IClassifier* classifier);

  // ---- Retrieval ----
  // The timer of mailbox index i has this id.
  static constexpr std::uint32_t kFirstTimerId = 10;
  // The 32-bit request parameter: the trigger in the low half, the index (0xFFFF for all) in
  // the high half.
  static std::uint32_t RequestParameter(int trigger, int index);

  // Installed once, before any retrieval or timer.
  void SetRetrievalHost(IRetrievalHost* host) { retrievalHost = host; }
  // How long a remote server may keep a retrieval waiting, for every session present and future.
  void SetServerTimeout(std::chrono::milliseconds timeout);
  // Stops the timer of the mailbox (or all timers for -1) and starts a request thread that
  // retrieves it (or every mailbox, last to first). Does not wait.
  void StartRetrieval(int trigger, int index);
  // One request on the calling thread, as a request thread runs it, up to and including its
  // message and status text: 0 success, -1 error, -2 the single mailbox was busy (then nothing
  // is posted).
  int RunRequest(int trigger, int index);
  // For each mailbox concerned (-1: all): a timer when its interval is not 0 and it has none.
  void StartTimers(int index);
  void StopTimers(int index);
  // Starts the retrieval of the mailbox whose timer this is: 1; or 0 when the id is no
  // mailbox's timer.
  int OnTimer(std::uint32_t id);
  // A mail client logged in to this main mailbox: retrieves it on the calling thread (or waits up
  // to 30 s for a run in progress) so that the client sees the mail just fetched.
  void RetrieveOnDemand(CMailbox& mailbox);
  // No request or on-demand retrieval starts afterwards, and on-demand logins stop waiting for a
  // run in progress; runs already going go on. Any thread.
  void RefuseRetrievals();
  // Refuses retrievals, ends the conversations of running ones and waits for their threads. Also
  // run by the destructor.
  void StopRetrievals();

  // ---- Saving ----
  // Saves the mailbox and its dustbox (what changed), or every one with -1; 1 only when every
  // save succeeded. `SaveWait::No`: what would wait for a change in progress is saved later.
  int SaveAll(int index, CMailbox::SaveWait wait = CMailbox::SaveWait::Yes);
  // At exit, from the last mailbox to the first: the mailbox, its dustbox (all of it marked read
  // first when OpenDustboxAtExit is set) and its server lists. 1 when every save succeeded.
  int SaveAtExit();

  // ---- Settings with effects on stored mail ----
  // Changes the server deletion policy of the mailbox and does what the change means for mail
  // already stored and for server copies awaiting deletion. `answer` is consulted only when
  // mails deleted here still lie on the server and an exemption is set; `asked` tells whether it
  // was. The caller holds the mailbox's retrievalLock. 0 for an invalid index or policy.
  int ChangeServerDeletion(int index, ServerDeletion policy, DeletedHereAnswer answer,
                           bool* asked = nullptr);

 private:
  // The helpers below that end in Locked expect the caller to hold setLock.
  bool ValidLocked(int index) const {
    return index >= 0 && index < static_cast<int>(mailboxes.size());
  }
  int IndexOfLocked(const CMailbox& mailbox) const;
  int LoginNameOwnerLocked(int exceptIndex, std::string_view loginName) const;
  void StartTimersLocked(int index);
  void StopTimersLocked(int index);
  // The mailbox itself or its dustbox when the user name and password are its, else nullptr.
  static CMailbox* MatchLoginLocked(CMailbox& mailbox, std::string_view user,
                                    std::string_view password);
  // The mailboxes in order, or the one at `index` (none for an invalid index), for work that
  // waits for a mailbox's own locks and so must not hold setLock.
  std::vector<CMailbox*> Snapshot(int index = -1) const;
  // Whether a mailbox named `name` would share files with one in the set.
  bool NameInUse(const std::string& name) const;
  int SumOrOne(int index, int (*count)(const CMailbox&)) const;
  // Retrieve, except that an exception (out of memory above all) fails this run alone.
  static int RetrieveGuarded(CMailbox& mailbox);
  // Posts the end of a request; never throws.
  void PostRequestEnd(int trigger, int index) noexcept;

  struct RequestThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // Joins the request threads that have ended.
  void ReapRequests();

  CProfile& settings;
  IClassifier* classifier = nullptr;
  IRetrievalHost* retrievalHost = nullptr;
  std::chrono::milliseconds serverTimeout{60000};
  // Guards the three arrays below and the settings named at the top. Held for moments only: its
  // holder takes no lock but the short inner ones of an index, a semaphore, a socket or the front
  // end's timer table, and never waits for a mailbox.
  mutable std::shared_mutex setLock;
  std::mutex requestLock;
  std::list<RequestThread> requests;
  std::atomic<bool> stopping{false};
  std::vector<std::unique_ptr<CMailbox>> mailboxes;
  // Removed mailboxes, their files gone, kept until the set goes.
  std::vector<std::unique_ptr<CMailbox>> retired;
  // Timers change on the user-interface thread and on local POP3 connections (on demand).
  std::vector<std::uint32_t> timerIds;
};

}  // namespace qm
