#include "ui/model/mailbox_choice.h"

#include "mailboxes/mailbox_set.h"

namespace qm {

int MailboxAfterSettings(const CMailboxSet& mailboxes, const std::optional<std::string>& previous) {
  if (!previous || mailboxes.Count() == 0) return -1;
  // From the last to the first, so that of two mailboxes of one name the later one wins.
  for (int i = mailboxes.Count() - 1; i >= 0; --i) {
    if (mailboxes.Get(i)->Name() == *previous) return i;
  }
  return 0;
}

}  // namespace qm
