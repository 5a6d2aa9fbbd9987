#include "pop3client/retrieval.h"

#include <chrono>
#include <string>
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

std::string MessageIdOf(CMailMessage& message) {
  std::string messageId;
  message.GetField("Message-ID", messageId);
  return messageId;
}

}  // namespace

bool CheckMessageId(CPop3Session& session, int n, const std::string& messageId) {
  std::string text;
  session.Top(n, 0, text);
  CMailMessage message;
  message.Parse(text);
  return MessageIdOf(message) == messageId;
}

int RetrieveNew(CPop3Session& session, CMailbox& mailbox, IClassifier* classifier) {
  const CRemoteAccount& account = session.account;
  int count = 0;
  int size = 0;
  if (!session.Stat(count, size) || count < 0) return kUidlFailed;

  bool refused = false;
  std::vector<std::string> serverUids;
  serverUids.reserve(static_cast<std::size_t>(count < 100000 ? count : 100000));
  for (int n = 1; n <= count; ++n) {
    SetStatusText("受信中 " + Progress(account.server, n, count));
    Log("MSV : Getting UID from " + LogProgress(account, n, count));
    std::string uid;
    if (!session.Uidl(n, uid)) return kUidlFailed;

    std::string recordedId;
    if (session.FindPendingDeletion(uid, recordedId)) {
      // The deletion stays listed until a run no longer finds the copy: the server deletes only
      // at a QUIT that may never come.
      serverUids.push_back(uid);
      if (CheckMessageId(session, n, recordedId)) {
        session.Dele(n);
        continue;
      }
      serverUids.pop_back();
      session.TakePendingDeletion(uid, recordedId);
      SetStatusText("Message_idの照合エラー");
      Log("MSV : Fail to check message ID ( " + recordedId + " ).");
    }
    serverUids.push_back(uid);
    if (session.IsDeletedHere(uid) || session.IsKnown(uid)) continue;
    // Left on the server and in no list, so no rule of this mailbox ever deletes it there.
    if (session.TooLargeToFetch(n, uid)) continue;

    Log("MSV : Retrieving message from " + LogProgress(account, n, count));
    std::string text;
    if (!session.Retr(n, text)) {
      if (session.DroppedAsTooLarge(n, uid)) continue;
      // A message the server refuses to hand out must not hold back every message after it for
      // good; it stays unrecorded, so the next run asks for it again.
      if (session.LastReply() != kReplyErr || !session.IsConnected()) {
        return kRetrOrStoreFailed;
      }
      Log("MSV : The server refused message " + std::to_string(n) + " ( " + uid + " ).");
      refused = true;
      continue;
    }
    CMailMessage message;
    message.Parse(text);
    text.clear();
    text.shrink_to_fit();
    message.mark.uidl = uid;

    SetStatusText("判定中 " + Progress(account.server, n, count));
    if (classifier != nullptr) classifier->Classify(message);
    // Cut off meanwhile (the program ends): its look-ups may not have finished, so it stays on
    // the server for the next run instead of being stored with a verdict it does not deserve.
    if (session.Aborted()) return kRetrOrStoreFailed;

    int deleteNow = 0;
    if (mailbox.StoreRetrieved(message, deleteNow) < 0) {
      SetStatusText("メール保存中にエラー発生");
      return kRetrOrStoreFailed;
    }
    // The store listed the server copy: as known, or for deletion now.
    if (deleteNow) session.Dele(n);
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
  // POP3 deletes at QUIT: what the server gives up must be recorded here first.
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
