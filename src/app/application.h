// The program's life, shared by both front ends: start-up, the idle step, the reaction to the
// messages posted to the user-interface thread, and shutdown. The front end owns the event loop
// and calls in here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/classification.h"
#include "app/log.h"
#include "app/settings.h"
#include "app/user_interface.h"
#include "mailboxes/mailbox_set.h"
#include "mailboxes/retrieval_host.h"
#include "platform/report.h"
#include "platform/single_instance.h"
#include "pop3server/pop_server.h"
#include "store/mailbox.h"

namespace qm {

class CApplication : public IUserInterfaceClient,
                     public IReporter,
                     public IStoreEvents,
                     public IPopServerHost,
                     public IRetrievalHost {
 public:
  static constexpr const char* kAlreadyRunning = "Quillmoor Mail Filterはすでに起動しています。";
  static constexpr const char* kStartedLine = "APL : ------  Quillmoor Mail Filter started. ------";
  static constexpr const char* kTerminatingLine =
      "APL : ------  Quillmoor Mail Filter will be terminated. ------";

  enum class StartResult { Started, AlreadyRunning };

  // `workingDirectory` must be the process's current directory: mailbox files are named
  // relative to it.
  CApplication(IUserInterface& ui, const std::string& workingDirectory);
  ~CApplication() override;

  // Everything up to the first retrieval: the single-instance guard, the settings, the mailboxes,
  // the "started" log line and the local POP3 server. Installs this object as the reporter.
  StartResult Startup();
  // Saves what changed, trims the dustboxes and writes the log.
  void IdleStep() override;
  // The indices of the mailboxes whose messages (or dustbox messages) changed since the last
  // call, as the idle steps found them: the list and the counts the front end shows follow them.
  std::vector<int> TakeChangedMailboxes();
  void OnMessage(std::uint32_t message, std::intptr_t wParam, std::intptr_t lParam) override;
  void OnTimer(std::uint32_t id) override;
  // Ends in moments whatever the peers do: stops the local POP3 server, logging its mail clients
  // out without applying their deletions; waits at most 3000 ms for running retrievals and cuts
  // off the rest; saves everything and writes the log.
  void Shutdown();

  CMailboxSet& Mailboxes() { return *mailboxes; }
  CClassification& Classification() { return *classification; }
  CSettings& Settings() { return settings; }
  CPopServer& PopServer() { return *popServer; }

  // IReporter: the log, and message boxes through the front end (and the log).
  void Log(std::string_view message) override;
  void ShowMessage(std::string_view message) override;
  void SetStatusText(std::string_view text) override;
  // IStoreEvents
  void MaildropCommitted(CMailbox& mailbox, bool removed) override;
  // IPopServerHost
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override;
  void LoginAccepted(CMailbox& mailbox, int index) override;
  void ConnectionEnded() override;
  // IRetrievalHost
  void SetTimer(std::uint32_t id, std::uint32_t milliseconds) override;
  void KillTimer(std::uint32_t id) override;
  void RetrievalEnded(int trigger, int index) override;
  // Tells the user once when a blocklist failed or refused look-ups since the last request.
  void RequestFinished() override;

 private:
  void SaveTrimAndFlush();
  std::vector<int> changedMailboxes;  // user-interface thread only
  IUserInterface& ui;
  std::string directory;
  CSingleInstance instance;
  CSettings settings;
  CLog log;
  std::unique_ptr<CClassification> classification;
  std::unique_ptr<CMailboxSet> mailboxes;
  std::unique_ptr<CPopServer> popServer;
  bool started = false;
  std::atomic<bool> shutDown{false};
};

}  // namespace qm
