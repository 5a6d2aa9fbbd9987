// Retrieval requests, their threads, and the per-mailbox timers that start them.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <string>

#include "mailboxes/mailbox_set.h"
#include "platform/report.h"
#include "platform/time_format.h"
#include "pop3client/pop3_session.h"
#include "pop3client/retrieval.h"

namespace qm {

namespace {

constexpr std::chrono::milliseconds kOnDemandWait{30000};
// How often a waiting on-demand login looks whether the program is shutting down.
constexpr std::chrono::milliseconds kStopCheck{50};

// A run in progress keeps its mailbox's retrievalLock; taking and returning it tells that none is.
bool RetrievalIdle(CMailbox& mailbox) {
  if (!mailbox.retrievalLock.TryAcquire()) return false;
  mailbox.retrievalLock.Release();
  return true;
}

}  // namespace

std::uint32_t CMailboxSet::RequestParameter(int trigger, int index) {
  return (static_cast<std::uint32_t>(index < 0 ? 0xFFFF : index & 0xFFFF) << 16) |
         (static_cast<std::uint32_t>(trigger) & 0xFFFF);
}

void CMailboxSet::SetServerTimeout(std::chrono::milliseconds timeout) {
  serverTimeout = timeout;
  for (CMailbox* mailbox : Snapshot()) {
    if (auto* session = dynamic_cast<CPop3Session*>(&mailbox->Client())) {
      session->SetTimeout(timeout);
    }
  }
}

void CMailboxSet::StartTimers(int index) {
  std::unique_lock lock(setLock);
  StartTimersLocked(index);
}

void CMailboxSet::StartTimersLocked(int index) {
  for (std::size_t slot = 0; slot < mailboxes.size(); ++slot) {
    if (index != -1 && static_cast<int>(slot) != index) continue;
    const std::uint32_t interval = mailboxes[slot]->Config().timerInterval;
    if (interval == 0) {
      // An interval set to 0 while the timer ran ends the timer.
      if (timerIds[slot] != 0 && retrievalHost != nullptr) retrievalHost->KillTimer(timerIds[slot]);
      timerIds[slot] = 0;
    } else if (timerIds[slot] == 0) {
      // A mailbox that still has its timer keeps it: two requests of one mailbox may end one
      // after the other.
      const std::uint32_t id = kFirstTimerId + static_cast<std::uint32_t>(slot);
      const std::uint64_t period = std::uint64_t{interval} * 1000;
      if (retrievalHost != nullptr) {
        retrievalHost->SetTimer(
            id, period > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(period));
      }
      timerIds[slot] = id;
    }
  }
}

void CMailboxSet::StopTimers(int index) {
  std::unique_lock lock(setLock);
  StopTimersLocked(index);
}

void CMailboxSet::StopTimersLocked(int index) {
  for (std::size_t slot = 0; slot < mailboxes.size(); ++slot) {
    if (index != -1 && static_cast<int>(slot) != index) continue;
    if (timerIds[slot] == 0) continue;
    if (retrievalHost != nullptr) retrievalHost->KillTimer(timerIds[slot]);
    timerIds[slot] = 0;
  }
}

int CMailboxSet::OnTimer(std::uint32_t id) {
  if (id < kFirstTimerId) return 0;
  const std::uint32_t index = id - kFirstTimerId;
  if (index >= static_cast<std::uint32_t>(Count())) return 0;
  StartRetrieval(kTriggerTimer, static_cast<int>(index));
  return 1;
}

void CMailboxSet::StartRetrieval(int trigger, int index) {
  StopTimers(index);
  if (stopping) return;
  std::lock_guard lock(requestLock);
  ReapRequests();
  try {
    auto done = std::make_shared<std::atomic<bool>>(false);
    requests.push_back({std::thread(), done});
    try {
      requests.back().thread = std::thread([this, trigger, index, done] {
        try {
          RunRequest(trigger, index);
        } catch (...) {
          LogUncaught("Retrieval request");
          PostRequestEnd(trigger, index);
        }
        done->store(true);
      });
    } catch (...) {
      requests.pop_back();
      throw;
    }
  } catch (...) {
    // No thread to run it: the request ends here, and its end restarts the timers.
    LogUncaught("Retrieval request");
    PostRequestEnd(trigger, index);
  }
}

void CMailboxSet::PostRequestEnd(int trigger, int index) noexcept {
  try {
    if (retrievalHost != nullptr) retrievalHost->RetrievalEnded(trigger, index < 0 ? -1 : index);
  } catch (...) {
    LogUncaught("Retrieval request");
  }
}

void CMailboxSet::ReapRequests() {
  for (auto it = requests.begin(); it != requests.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = requests.erase(it);
    } else {
      ++it;
    }
  }
}

int CMailboxSet::RetrieveGuarded(CMailbox& mailbox) {
  try {
    return Retrieve(mailbox);
  } catch (...) {
    LogUncaught("Retrieval", mailbox.Name());
    // Dropped without QUIT, the connection leaves every server copy of this run in place; QUIT
    // from a later run or at exit would have applied deletions of mail that may not be stored.
    auto* session = dynamic_cast<CPop3Session*>(&mailbox.Client());
    if (session != nullptr && mailbox.retrievalLock.TryAcquire()) {
      session->Release();
      mailbox.retrievalLock.Release();
    }
    return kRetrieveFailed;
  }
}

int CMailboxSet::RunRequest(int trigger, int index) {
  bool failed = false;
  if (index >= 0) {
    CMailbox* mailbox = Get(index);
    const int result = mailbox != nullptr ? RetrieveGuarded(*mailbox) : kRetrieveDone;
    if (result == kRetrieveBusy) {
      if (trigger == kTriggerCommand) ShowMessage("現在メール受信中");
      return kRetrieveBusy;
    }
    if (result == kRetrieveFailed) {
      if (trigger == kTriggerCommand) ShowMessage("通信中にエラーが発生しました。");
      failed = true;
    }
  } else {
    for (int i = Count() - 1; i >= 0 && !stopping; --i) {
      // The user may delete mailboxes meanwhile: an index past the end is simply gone.
      CMailbox* mailbox = Get(i);
      if (mailbox != nullptr && RetrieveGuarded(*mailbox) == kRetrieveFailed) failed = true;
    }
  }
  if (retrievalHost != nullptr) retrievalHost->RetrievalEnded(trigger, index < 0 ? -1 : index);
  const std::string time =
      FormatLocalTime("(%H:%M:%S)", static_cast<std::int64_t>(std::time(nullptr)));
  SetStatusText((failed ? "受信エラー発生 " : "通信正常終了 ") + time);
  if (retrievalHost != nullptr) retrievalHost->RequestFinished();
  return failed ? kRetrieveFailed : kRetrieveDone;
}

void CMailboxSet::RetrieveOnDemand(CMailbox& mailbox) {
  // The user may move mailboxes while the client logs in: the timer is found by the mailbox,
  // never by an index taken before.
  {
    std::unique_lock lock(setLock);
    const int index = IndexOfLocked(mailbox);
    if (index < 0 || stopping || !mailbox.Config().Has(CMailboxConfig::OnDemandRetrieval)) return;
    StopTimersLocked(index);
  }
  if (RetrieveGuarded(mailbox) == kRetrieveBusy) {
    // The run in progress elsewhere brings the mail; the client waits for it, but not past the
    // start of a shutdown, which must not wait for it in turn.
    const auto deadline = std::chrono::steady_clock::now() + kOnDemandWait;
    while (!stopping) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) break;
      if (mailbox.retrievalLock.TryAcquireUntil(std::min(deadline, now + kStopCheck))) {
        mailbox.retrievalLock.Release();
        break;
      }
    }
  }
  SetStatusText("オンデマンド受信完了 ( " + mailbox.Name() + " )");
  {
    std::unique_lock lock(setLock);
    const int index = IndexOfLocked(mailbox);
    if (index >= 0) StartTimersLocked(index);
  }
  if (retrievalHost != nullptr) retrievalHost->RequestFinished();
}

void CMailboxSet::RefuseRetrievals() { stopping = true; }

void CMailboxSet::StopRetrievals() {
  RefuseRetrievals();
  for (;;) {
    bool idle = true;
    {
      // A run may be between two waits when it is aborted; abort again until everything is
      // idle. Nothing here waits or allocates, so the set's lock may be held throughout.
      std::shared_lock lock(setLock);
      for (const auto* list : {&mailboxes, &retired}) {
        for (const auto& mailbox : *list) {
          if (auto* session = dynamic_cast<CPop3Session*>(&mailbox->Client())) session->Abort();
        }
      }
      for (const auto* list : {&mailboxes, &retired}) {
        for (const auto& mailbox : *list) idle = idle && RetrievalIdle(*mailbox);
      }
    }
    {
      std::lock_guard lock(requestLock);
      ReapRequests();
      idle = idle && requests.empty();
    }
    if (idle) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace qm
