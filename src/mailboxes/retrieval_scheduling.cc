// Retrieval requests, their threads, and the per-mailbox timers that start them.
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
  for (auto& mailbox : mailboxes) {
    if (auto* session = dynamic_cast<CPop3Session*>(&mailbox->Client())) {
      session->SetTimeout(timeout);
    }
  }
}

void CMailboxSet::StartTimers(int index) {
  std::lock_guard lock(timerLock);
  for (int i = 0; i < Count(); ++i) {
    if (index != -1 && i != index) continue;
    const auto slot = static_cast<std::size_t>(i);
    const std::uint32_t interval = mailboxes[slot]->Config().timerInterval;
    if (interval == 0) {
      // An interval set to 0 while the timer ran ends the timer.
      if (timerIds[slot] != 0 && retrievalHost != nullptr) retrievalHost->KillTimer(timerIds[slot]);
      timerIds[slot] = 0;
    } else if (timerIds[slot] == 0) {
      // A mailbox that still has its timer keeps it: two requests of one mailbox may end one
      // after the other.
      const std::uint32_t id = kFirstTimerId + static_cast<std::uint32_t>(i);
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
  std::lock_guard lock(timerLock);
  for (int i = 0; i < Count(); ++i) {
    if (index != -1 && i != index) continue;
    const auto slot = static_cast<std::size_t>(i);
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
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, trigger, index, done] {
    RunRequest(trigger, index);
    done->store(true);
  });
  requests.push_back({std::move(thread), std::move(done)});
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

int CMailboxSet::RunRequest(int trigger, int index) {
  bool failed = false;
  if (index >= 0) {
    CMailbox* mailbox = Get(index);
    const int result = mailbox != nullptr ? Retrieve(*mailbox) : kRetrieveDone;
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
      if (mailbox != nullptr && Retrieve(*mailbox) == kRetrieveFailed) failed = true;
    }
  }
  if (retrievalHost != nullptr) retrievalHost->RetrievalEnded(trigger, index < 0 ? -1 : index);
  const std::string time =
      FormatLocalTime("(%H:%M:%S)", static_cast<std::int64_t>(std::time(nullptr)));
  SetStatusText((failed ? "受信エラー発生 " : "通信正常終了 ") + time);
  if (retrievalHost != nullptr) retrievalHost->RequestFinished();
  return failed ? kRetrieveFailed : kRetrieveDone;
}

void CMailboxSet::RetrieveOnDemand(int index) {
  CMailbox* mailbox = Get(index);
  if (mailbox == nullptr || stopping || !mailbox->Config().Has(CMailboxConfig::OnDemandRetrieval)) {
    return;
  }
  StopTimers(index);
  if (Retrieve(*mailbox) == kRetrieveBusy && mailbox->retrievalLock.TryAcquireFor(kOnDemandWait)) {
    mailbox->retrievalLock.Release();
  }
  SetStatusText("オンデマンド受信完了 ( " + mailbox->Name() + " )");
  StartTimers(index);
  if (retrievalHost != nullptr) retrievalHost->RequestFinished();
}

void CMailboxSet::StopRetrievals() {
  stopping = true;
  for (;;) {
    // A run may be between two waits when it is aborted; abort again until everything is idle.
    for (auto& mailbox : mailboxes) {
      if (auto* session = dynamic_cast<CPop3Session*>(&mailbox->Client())) session->Abort();
    }
    bool idle = true;
    {
      std::lock_guard lock(requestLock);
      ReapRequests();
      idle = requests.empty();
    }
    for (auto& mailbox : mailboxes) idle = idle && RetrievalIdle(*mailbox);
    if (idle) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace qm
