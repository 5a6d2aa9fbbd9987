#include "cli/retrieve_command.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

#include "app/classification.h"
#include "app/settings.h"
#include "cli/workdir.h"
#include "mailboxes/mailbox_set.h"
#include "platform/report.h"
#include "platform/termination_signal.h"
#include "pop3client/pop3_session.h"
#include "pop3client/retrieval.h"

namespace qm {

CLI::App* AddRetrieveCommand(CLI::App& app, RetrieveRequest& request) {
  CLI::App* retrieve = app.add_subcommand(
      "retrieve", "Fetch, classify and store new mail once: one mailbox, or all (last first)");
  retrieve->add_option("NAME", request.name, "The mailbox; all mailboxes when left out");
  return retrieve;
}

int RunRetrieveCommand(const RetrieveRequest& request, CSettings& settings,
                       CClassification& classification, std::ostream& err) {
  CMailboxSet set(settings.Profile());
  set.SetClassifier(&classification.Classifier());
  const int timeout = settings.Get(settings::ServerTimeout);
  set.SetServerTimeout(
      std::chrono::seconds(timeout > 0 ? timeout : settings::ServerTimeout.defaultValue));
  set.LoadAll();

  int index = -1;
  if (!request.name.empty()) {
    index = set.Find(request.name);
    if (index < 0) {
      err << "qm_mailfilter: there is no mailbox named \"" << request.name << "\"\n";
      return kExitFailure;
    }
  }

  // SIGTERM or SIGINT cuts the conversation off; what was stored up to then is saved below.
  std::atomic<bool> interrupted{false};
  CTerminationSignal signals;
  signals.Start([&set, &interrupted] {
    interrupted = true;
    try {
      set.StopRetrievals();
    } catch (...) {
      LogUncaught("Stopping the retrieval");
    }
  });
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  int result = kRetrieveDone;
  std::thread worker([&] {
    int outcome = kRetrieveFailed;
    try {
      outcome = set.RunRequest(kTriggerCommand, index);
    } catch (...) {
      LogUncaught("Retrieval request");
    }
    std::lock_guard lock(mutex);
    result = outcome;
    done = true;
    finished.notify_all();
  });
  {
    // As the running program's idle step does: the marks of what arrived reach the disk at least
    // once a second, so a crash costs at most that much mail fetched twice.
    std::unique_lock lock(mutex);
    while (!finished.wait_for(lock, std::chrono::seconds(1), [&done] { return done; })) {
      lock.unlock();
      set.SaveAll(-1);
      lock.lock();
    }
  }
  worker.join();
  if (interrupted) err << "qm_mailfilter: interrupted\n";
  // Why a connection failed is worth more to a script than that it did.
  for (int i = 0; i < set.Count(); ++i) {
    if (index != -1 && i != index) continue;
    const auto* session = dynamic_cast<const CPop3Session*>(&set.Get(i)->Client());
    if (session != nullptr && !session->ConnectError().empty()) {
      err << "qm_mailfilter: " << set.Get(i)->Name() << ": " << session->ConnectError() << '\n';
    }
  }
  const std::string trouble = classification.NewBlocklistTrouble();
  if (!trouble.empty()) err << trouble << '\n';
  // The running program trims when idle; mail fetched from cron must keep the limit too.
  for (int i = 0; i < set.Count(); ++i) {
    if (index == -1 || i == index) set.Get(i)->TrimDustbox();
  }

  if (!set.SaveAll(-1)) {
    err << "qm_mailfilter: the mailboxes could not be saved\n";
    return kExitFailure;
  }
  if (result == kRetrieveBusy) return kExitLocked;
  return result == kRetrieveDone && !interrupted ? kExitOk : kExitFailure;
}

}  // namespace qm
