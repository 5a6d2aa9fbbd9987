// `qm_mailfilter mailbox ...`: the set of mailboxes and their settings.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set.h"

namespace CLI {
class App;
}

namespace qm {

class CProfile;

enum class MailboxAction { Add, Remove, List, Show, Up, Down, Set };

struct MailboxRequest {
  MailboxAction action = MailboxAction::List;
  std::string name;
  std::vector<std::string> assignments;
  // A password key whose value comes from standard input rather than the command line, where
  // every local user could read it in the process list.
  std::string secretKeyFromInput;
  DeletedHereAnswer deletedHere = DeletedHereAnswer::Delete;
};

// Adds the `mailbox` command and its sub-commands to `app`; parsing fills `request`.
CLI::App* AddMailboxCommand(CLI::App& app, MailboxRequest& request);

// Runs the request on the mailboxes of the current directory, whose settings file is
// `settings`. kExitOk, or kExitFailure with a message on `err`.
int RunMailboxCommand(const MailboxRequest& request, CProfile& settings, std::ostream& out,
                      std::ostream& err);

}  // namespace qm
