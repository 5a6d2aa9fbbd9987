#include "cli/retrieve_command.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <ostream>

#include "app/classification.h"
#include "app/settings.h"
#include "cli/workdir.h"
#include "mailboxes/mailbox_set.h"
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

  const int result = set.RunRequest(kTriggerCommand, index);
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

  if (!set.SaveAll(-1)) {
    err << "qm_mailfilter: the mailboxes could not be saved\n";
    return kExitFailure;
  }
  if (result == kRetrieveBusy) return kExitLocked;
  return result == kRetrieveDone ? kExitOk : kExitFailure;
}

}  // namespace qm
