#include "pop3client/retrieval.h"

#include <chrono>
#include <deque>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "message/classifier.h"
#include "message/mail_message.h"
#include "platform/report.h"
#include "pop3client/pop3_session.h"
#include "pop3client/reply_reader.h"
#include "store/mailbox.h"

namespace qm {

namespace {

std::string Progress(const std::string& host, int n, int count) {
  return "( " + host + " ) " + std::to_string(n) + " / " + std::to_string(count);
}

std::string LogProgress(const CRemoteAccount& account, int n, int count) {
  return account.server + " ( " + account.user + " ). ( " + std::to_string(n) + " / " +
         std::to_string(count) + " )";
}

// The Message-ID of the header that TOP n 0 gave.
std::string MessageIdOfHeader(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  std::string messageId;
  message.GetField("Message-ID", messageId);
  return messageId;
}

// Commands in flight at once when the server pipelines: enough to keep a link of a few tens of
// milliseconds busy with small messages, and few enough that what the server sends ahead waits
// in the socket buffers, not in memory.
constexpr std::size_t kMaxInFlight = 32;

// What a run does with one message on the server: fetch it, or (a pending deletion) check with
// TOP n 0 that it still carries `recordedId` before deleting it.
struct Step {
  int n = 0;
  std::string uid;
  std::string recordedId;
  bool check = false;
};

enum class Command { Top, Retr, Dele };

struct Sent {
  Command command;
  std::size_t step;
};

// The unique id of message n, from the listing or, where the server gave none, from UIDL n.
bool UniqueId(CPop3Session& session, std::unordered_map<int, std::string>& listed, int n, int count,
              std::string& uid) {
  if (const auto it = listed.find(n); it != listed.end()) {
    uid = std::move(it->second);
    return true;
  }
  const CRemoteAccount& account = session.account;
  SetStatusText("受信中 " + Progress(account.server, n, count));
  Log("MSV : Getting UID from " + LogProgress(account, n, count));
  return session.Uidl(n, uid);
}

// Reads past the answers still owed, so that QUIT is answered as QUIT.
void Drain(CPop3Session& session, std::deque<Sent>& inFlight) {
  for (const Sent& sent : inFlight) {
    if (!session.SkipAnswer(sent.command != Command::Dele)) break;
  }
  inFlight.clear();
}

}  // namespace

int RetrieveNew(CPop3Session& session, CMailbox& mailbox, IClassifier* classifier) {
  const CRemoteAccount& account = session.account;
  int count = 0;
  int size = 0;
  if (!session.Stat(count, size) || count < 0) return kUidlFailed;

  // One listing instead of a UIDL per message: a large mailbox kept on the server costs one
  // round trip when nothing is new.
  std::unordered_map<int, std::string> listed;
  if (count > 0) {
    const CPop3Session::Listing listing = session.ListUids(count, listed);
    if (listing == CPop3Session::Listing::Failed) return kUidlFailed;
    if (listing == CPop3Session::Listing::Listed) {
      SetStatusText("受信中 " + Progress(account.server, count, count));
      Log("MSV : Getting UID from " + LogProgress(account, count, count));
    }
  }
  std::vector<std::string> serverUids;
  serverUids.reserve(static_cast<std::size_t>(count < 100000 ? count : 100000));
  std::vector<Step> steps;
  for (int n = 1; n <= count; ++n) {
    std::string uid;
    if (!UniqueId(session, listed, n, count, uid)) return kUidlFailed;
    serverUids.push_back(uid);
    std::string recordedId;
    // The deletion stays listed until a run no longer finds the copy: the server deletes only at
    // a QUIT that may never come.
    if (session.FindPendingDeletion(uid, recordedId)) {
      steps.push_back({n, uid, recordedId, true});
    } else if (!session.IsDeletedHere(uid) && !session.IsKnown(uid)) {
      steps.push_back({n, uid, {}, false});
    }
  }
  listed.clear();

  // Sizes in one listing too; without it each message is asked LIST n, one at a time.
  const CPop3Session::Listing sizes =
      steps.empty() ? CPop3Session::Listing::Refused : session.ListSizes(count);
  if (sizes == CPop3Session::Listing::Failed) return kRetrOrStoreFailed;
  const std::size_t window =
      sizes == CPop3Session::Listing::Listed && steps.size() > 1 && session.Pipelines()
          ? kMaxInFlight
          : 1;

  bool refused = false;
  std::deque<std::size_t> queue;
  for (std::size_t i = 0; i < steps.size(); ++i) queue.push_back(i);
  std::deque<Sent> inFlight;
  while (!queue.empty() || !inFlight.empty()) {
    while (inFlight.size() < window && !queue.empty()) {
      const std::size_t i = queue.front();
      queue.pop_front();
      const Step& step = steps[i];
      if (step.check) {
        session.SendTop(step.n, 0);
        inFlight.push_back({Command::Top, i});
      } else if (!session.TooLargeToFetch(step.n, step.uid)) {
        // Too large: left on the server and in no list, so no rule of this mailbox ever deletes
        // it there.
        session.SendRetr(step.n);
        inFlight.push_back({Command::Retr, i});
      }
    }
    if (inFlight.empty()) continue;
    const Sent sent = inFlight.front();
    inFlight.pop_front();
    Step& step = steps[sent.step];

    if (sent.command == Command::Dele) {
      session.ReadDele();
      continue;
    }
    if (sent.command == Command::Top) {
      std::string text;
      if (!session.ReadTop(text) && session.LastReply() != kReplyErr) {
        // No answer is no evidence against the copy: it stays listed for deletion.
        return kRetrOrStoreFailed;
      }
      if (MessageIdOfHeader(text) == step.recordedId) {
        session.SendDele(step.n);
        inFlight.push_back({Command::Dele, sent.step});
        continue;
      }
      session.TakePendingDeletion(step.uid, step.recordedId);
      SetStatusText("Message_idの照合エラー");
      Log("MSV : Fail to check message ID ( " + step.recordedId + " ).");
      if (session.IsDeletedHere(step.uid) || session.IsKnown(step.uid)) continue;
      step.check = false;
      queue.push_front(sent.step);
      continue;
    }

    SetStatusText("受信中 " + Progress(account.server, step.n, count));
    Log("MSV : Retrieving message from " + LogProgress(account, step.n, count));
    std::string text;
    if (!session.ReadRetr(step.n, text)) {
      if (session.DroppedAsTooLarge(step.n, step.uid)) continue;
      // A message the server refuses to hand out must not hold back every message after it for
      // good; it stays unrecorded, so the next run asks for it again.
      if (session.LastReply() != kReplyErr || !session.IsConnected()) {
        return kRetrOrStoreFailed;
      }
      Log("MSV : The server refused message " + std::to_string(step.n) + " ( " + step.uid + " ).");
      refused = true;
      continue;
    }
    CMailMessage message;
    message.Parse(text);
    text.clear();
    text.shrink_to_fit();
    message.mark.uidl = step.uid;

    SetStatusText("判定中 " + Progress(account.server, step.n, count));
    if (classifier != nullptr) classifier->Classify(message);
    // Cut off meanwhile (the program ends): its look-ups may not have finished, so it stays on
    // the server for the next run instead of being stored with a verdict it does not deserve.
    if (session.Aborted()) return kRetrOrStoreFailed;

    int deleteNow = 0;
    if (mailbox.StoreRetrieved(message, deleteNow) < 0) {
      SetStatusText("メール保存中にエラー発生");
      Drain(session, inFlight);
      return kRetrOrStoreFailed;
    }
    // The store listed the server copy: as known, or for deletion now.
    if (deleteNow) {
      session.SendDele(step.n);
      inFlight.push_back({Command::Dele, sent.step});
    }
  }
  session.PruneServerLists(serverUids);
  return refused ? kRetrOrStoreFailed : kRetrievedAll;
}

int Retrieve(CMailbox& mailbox) {
  auto* session = dynamic_cast<CPop3Session*>(&mailbox.Client());
  if (session == nullptr) return kRetrieveDone;
  // The account is looked at only under the lock: the settings pages change it under the lock.
  if (!mailbox.retrievalLock.TryAcquireFor(std::chrono::milliseconds(1))) return kRetrieveBusy;
  struct Release {
    COneSlotSemaphore& lock;
    ~Release() { lock.Release(); }
  } release{mailbox.retrievalLock};
  // A mailbox deleted since the caller found it has nothing left to store into.
  if (session->HasNoServer() || mailbox.IsDeleted()) return kRetrieveDone;

  SetStatusText("メール受信中 ( " + mailbox.Name() + " )");
  if (session->Open() != CPop3Session::kLoggedIn) return kRetrieveFailed;
  const int result = RetrieveNew(*session, mailbox, mailbox.Classifier());
  if (result == kUidlFailed) {
    // Without QUIT the server forgets this session's DELE commands; the ids they concerned are
    // still listed for deletion, so the next run deletes them.
    session->Release();
    return kRetrieveFailed;
  }
  // POP3 deletes at QUIT: what the server gives up must be recorded here first, and on disk.
  if (!mailbox.SyncStored()) {
    session->Release();
    return kRetrieveFailed;
  }
  mailbox.Save();
  if (mailbox.Dustbox() != nullptr) mailbox.Dustbox()->Save();
  if (session->Close() != 0) {
    Log("MSV : " + session->account.server +
        " did not confirm QUIT; its deletions are asked for again at the next retrieval.");
    return kRetrieveFailed;
  }
  return result == kRetrievedAll ? kRetrieveDone : kRetrieveFailed;
}

}  // namespace qm
