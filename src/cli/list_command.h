// `qm_mailfilter friend|bad add|remove|list [ADDRESS]`: the user's sender lists.
#pragma once

#include <iosfwd>
#include <string>

namespace CLI {
class App;
}

namespace qm {

class CSettings;
class CClassification;

enum class ListAction { Add, Remove, List };

struct ListRequest {
  bool bad = false;
  ListAction action = ListAction::List;
  std::string address;
};

// Adds the `friend` and `bad` commands to `app`; parsing fills `request`. Returns both so that
// the caller can tell whether either was given.
std::pair<CLI::App*, CLI::App*> AddListCommands(CLI::App& app, ListRequest& request);

// Adding to one list takes the address out of the other. The empty address cannot be stored:
// for the bad list it switches the rule that counts an empty sender as bad, for the friend list
// it is refused. Saves what changed. kExitOk, or kExitFailure with a message on `err`.
int RunListCommand(const ListRequest& request, CSettings& settings, CClassification& lists,
                   const std::string& directory, std::ostream& out, std::ostream& err);

}  // namespace qm
