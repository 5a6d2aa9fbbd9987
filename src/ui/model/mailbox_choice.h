// Which mailbox the list shows after the mailbox settings have been edited: the same mailbox by
// name when it is still there, wherever it moved, else the first.
#pragma once

#include <optional>
#include <string>

namespace qm {

class CMailboxSet;

// `previous`: the name of the mailbox shown before, or nothing when none was. The index to show,
// or -1 for none (nothing was shown, or no mailbox is left).
int MailboxAfterSettings(const CMailboxSet& mailboxes, const std::optional<std::string>& previous);

}  // namespace qm
