// `qm_mailfilter mail ...`: the mail list of a mailbox and the commands on its messages.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace qm {

class CProfile;
class IClassifier;

enum class MailAction { List, Hide, Unhide, Read, Unread, Delete, Restore, Reclassify };

struct MailRequest {
  MailAction action = MailAction::List;
  std::string name;
  // Message numbers as given, checked before anything changes.
  std::vector<std::string> numbers;
  // The numbers (or the list) are those of the mailbox's dustbox.
  bool dustbox = false;
  bool json = false;
  // Delete for good instead of moving to the dustbox.
  bool purge = false;
};

// Adds the `mail` command and its sub-commands to `app`; parsing fills `request`.
CLI::App* AddMailCommand(CLI::App& app, MailRequest& request);

// Runs the request on the mailboxes of the current directory, whose settings file is
// `settings`, and saves what changed. `classifier` judges unclassified mail on the way and is
// required for `reclassify`. kExitOk, or kExitFailure with a message on `err`.
int RunMailCommand(const MailRequest& request, CProfile& settings, std::ostream& out,
                   std::ostream& err, IClassifier* classifier = nullptr);

}  // namespace qm
