// A mailbox's settings under the names the command line gives them: shown by `mailbox show`,
// changed by `mailbox set`.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "mailboxes/mailbox_set.h"

namespace qm {

// Every setting as a KEY=VALUE line, in a fixed order; passwords only as "(set)" or "(empty)".
void ShowMailboxSettings(const CMailbox& mailbox, std::ostream& out);

// Applies KEY=VALUE assignments to mailbox `index` and saves it. Every assignment is checked
// first, the local login names against the other mailboxes too: one bad assignment changes
// nothing. The server deletion policy changes last, after the exemptions, with its effects on
// stored mail; `answer` decides about mails deleted here but kept on the server where a change
// would ask. kExitOk, or kExitFailure with a message on `err`.
int ChangeMailboxSettings(CMailboxSet& set, int index, const std::vector<std::string>& assignments,
                          DeletedHereAnswer answer, std::ostream& out, std::ostream& err);

// The keys whose values are passwords, which `show` never prints.
std::vector<std::string> SecretMailboxKeys();

// "delete", "keep" or "refetch".
bool ParseDeletedHereAnswer(std::string_view text, DeletedHereAnswer& answer);

}  // namespace qm
