// `qm_mailfilter retrieve [NAME]`: one retrieval run in the foreground, for cron and scripts.
#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace qm {

class CSettings;
class CClassification;

struct RetrieveRequest {
  std::string name;
};

CLI::App* AddRetrieveCommand(CLI::App& app, RetrieveRequest& request);

// Retrieves mailbox NAME, or every mailbox from the last to the first, and saves them. Progress
// goes to `err` through the reporter. kExitOk; kExitFailure when a run failed or there is no
// such mailbox; kExitLocked when the mailbox was busy.
int RunRetrieveCommand(const RetrieveRequest& request, CSettings& settings,
                       CClassification& classification, std::ostream& err);

}  // namespace qm
