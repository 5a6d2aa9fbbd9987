#include "app/application.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

#include "platform/locks.h"
#include "platform/socket.h"

namespace qm {

namespace {

// Mail clients log in to the local server with clear-text passwords.
std::string BeyondLoopbackLine(const std::string& bindAddress) {
  return "POP : Warning: the server listens on " +
         (bindAddress.empty() ? std::string("every interface") : bindAddress) +
         ", which other machines can reach; passwords and mail cross the network in clear text.";
}

}  // namespace

CApplication::CApplication(IUserInterface& userInterface, const std::string& workingDirectory)
    : ui(userInterface),
      directory(workingDirectory),
      settings(workingDirectory),
      log(workingDirectory) {}

CApplication::~CApplication() {
  if (popServer) popServer->Stop();
  if (started) {
    SetStoreEvents(nullptr);
    SetReporter(nullptr);
  }
}

CApplication::StartResult CApplication::Startup() {
  // A second copy in the same directory must not touch a single file.
  if (!instance.Acquire(directory)) {
    ui.ShowMessage(kAlreadyRunning);
    return StartResult::AlreadyRunning;
  }
  SetReporter(this);
  SetStoreEvents(this);
  started = true;

  classification = std::make_unique<CClassification>(settings);
  classification->Load(directory, settings);
  mailboxes = std::make_unique<CMailboxSet>(settings.Profile());
  mailboxes->SetClassifier(&classification->Classifier());
  mailboxes->SetRetrievalHost(this);
  const int timeout = settings.Get(settings::ServerTimeout);
  mailboxes->SetServerTimeout(
      std::chrono::seconds(timeout > 0 ? timeout : settings::ServerTimeout.defaultValue));
  mailboxes->LoadAll();
  Log(kStartedLine);

  PopServerOptions options;
  options.port = static_cast<std::uint16_t>(settings.Get(settings::Port));
  options.bindAddress = settings.Get(settings::BindAddress);
  const int idle = settings.Get(settings::IdleTimeout);
  options.idleTimeout = std::chrono::seconds(idle > 0 ? idle : settings::IdleTimeout.defaultValue);
  // Never longer before the login than after it: a short IdleTimeout set before there was a
  // LoginTimeout still holds for every client.
  const int login = settings.Get(settings::LoginTimeout);
  options.loginTimeout = std::min<std::chrono::milliseconds>(
      std::chrono::seconds(login > 0 ? login : settings::LoginTimeout.defaultValue),
      options.idleTimeout);
  if (!CTcpListener::IsLoopback(options.bindAddress)) {
    Log(BeyondLoopbackLine(options.bindAddress));
  }
  popServer = std::make_unique<CPopServer>(*this);
  popServer->Start(options);
  // A mailbox may fetch from this very server (the demo's does): its first retrieval, just
  // below, must not find the port still closed. Binding takes moments; a failure ends the wait.
  popServer->WaitUntilListening(std::chrono::seconds(2));

  // The timers start when this first request ends.
  if (settings.Get(settings::StartupRetrieve) != 0) {
    mailboxes->StartRetrieval(kTriggerTimer, -1);
  } else {
    mailboxes->StartTimers(-1);
  }
  return StartResult::Started;
}

void CApplication::IdleStep() {
  // Both front ends call in from their event loops, which an exception must not end.
  try {
    SaveTrimAndFlush();
  } catch (...) {
    LogUncaught("Idle step");
  }
}

void CApplication::SaveTrimAndFlush() {
  for (int i = mailboxes->Count() - 1; i >= 0; --i) {
    CMailbox* mailbox = mailboxes->Get(i);
    // The dustbox too: a message moved there must not lose its mark in a crash.
    // Neither waits for a mail client or a change in progress on another thread: the next
    // idle step does what this one could not.
    mailboxes->SaveAll(i, CMailbox::SaveWait::No);
    mailbox->TrimDustbox(CMailbox::SaveWait::No);
    if (mailbox->TakeChanged() &&
        std::find(changedMailboxes.begin(), changedMailboxes.end(), i) == changedMailboxes.end()) {
      changedMailboxes.push_back(i);
    }
  }
  classification->SaveLists(directory);
  log.FlushLog();
}

std::vector<int> CApplication::TakeChangedMailboxes() {
  return std::exchange(changedMailboxes, {});
}

void CApplication::OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) {
  (void)wParam;
  // Every message wakes the idle step, which the front end runs after the batch. The interval
  // of a mailbox runs from the end of one retrieval to the start of the next.
  try {
    if (message == kRetrievalEnded && !shutDown) mailboxes->StartTimers(static_cast<int>(lParam));
  } catch (...) {
    LogUncaught("Message handling");
  }
}

void CApplication::OnTimer(std::uint32_t id) {
  try {
    if (!shutDown) mailboxes->OnTimer(id);
  } catch (...) {
    LogUncaught("Timer");
  }
}

void CApplication::Shutdown() {
  if (!started || shutDown) return;
  shutDown = true;
  Log(kTerminatingLine);
  mailboxes->StopTimers(-1);
  // Whatever the peers do, the program ends within moments: no retrieval starts any more, and the
  // mail clients are logged out at once, their deletions not applied, as when a connection
  // drops. That also frees the mailboxes they held for retrievals waiting to store.
  mailboxes->RefuseRetrievals();
  if (popServer) popServer->BeginStop();
  classification->SaveLists(directory);
  bool finished = true;
  if (mailboxes->Count() > 0) {
    std::vector<COneSlotSemaphore*> locks;
    for (int i = 0; i < mailboxes->Count(); ++i) locks.push_back(&mailboxes->Get(i)->retrievalLock);
    finished = AcquireAll(locks, std::chrono::milliseconds(3000));
    if (finished) {
      for (COneSlotSemaphore* lock : locks) lock->Release();
    }
  }
  // Retrievals still running are cut off before the last save, so that every message they
  // stored is saved with its mark. A message being classified is left on the server, not stored
  // with the look-ups it did not finish.
  if (!finished) {
    classification->Classifier().Stop();
    mailboxes->StopRetrievals();
  }
  // Nothing is left for a connection thread to wait for.
  if (popServer) popServer->Stop();
  mailboxes->SaveAtExit();
  log.FlushLog();
}

void CApplication::Log(std::string_view message) { log.Log(message); }

void CApplication::ShowMessage(std::string_view message) {
  log.Log(message);
  ui.ShowMessage(message);
}

void CApplication::MaildropCommitted(CMailbox& mailbox, bool removed) {
  ui.PostMessage(kMaildropCommitted, removed ? 1 : 0, mailboxes->IndexOf(mailbox));
}

CMailbox* CApplication::FindLogin(const std::string& user, const std::string& password,
                                  int& index) {
  return mailboxes->FindLogin(user, password, &index);
}

void CApplication::LoginAccepted(CMailbox& mailbox, int index) {
  if (!mailbox.IsDustbox() && !shutDown) mailboxes->RetrieveOnDemand(mailbox);
  ui.PostMessage(kMailClientLoggedIn, 0, index);
}

void CApplication::ConnectionEnded() { ui.PostMessage(kWakeIdle); }

void CApplication::SetStatusText(std::string_view text) { ui.SetStatusText(text); }

void CApplication::SetTimer(std::uint32_t id, std::uint32_t milliseconds) {
  ui.SetTimer(id, milliseconds);
}

void CApplication::KillTimer(std::uint32_t id) { ui.KillTimer(id); }

void CApplication::RetrievalEnded(int trigger, int index) {
  ui.PostMessage(kRetrievalEnded, trigger, index);
}

void CApplication::RequestFinished() {
  // A blocklist that fails gives no spam verdicts; the user must not take that for clean mail.
  const std::string trouble = classification->NewBlocklistTrouble();
  if (!trouble.empty()) ui.SetStatusText(trouble);
}

}  // namespace qm
