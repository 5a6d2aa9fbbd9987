#include "ui/model/frame_texts.h"

#include <algorithm>

#include "mailboxes/mailbox_set.h"
#include "platform/code_page.h"
#include "store/mailbox.h"

namespace qm {

std::string MailboxNameForDisplay(std::string_view name) { return UndeclaredToUtf8(name); }

std::string CountsText(int total, int unread) {
  return std::to_string(total) + " ( " + std::to_string(unread) + " )";
}

std::string MailboxEntryText(int total, int unread, int dustboxTotal, int dustboxUnread,
                             std::string_view name) {
  std::string text = CountsText(total, unread) + " - " + CountsText(dustboxTotal, dustboxUnread);
  text += ' ';
  text += name;
  return text;
}

std::string MailboxEntryText(const CMailboxSet& mailboxes, int index) {
  if (index < 0 || index >= mailboxes.Count()) return {};
  const CMailbox* mailbox = mailboxes.Get(index);
  if (mailbox == nullptr) return {};
  return MailboxEntryText(mailboxes.MessageCount(index), mailboxes.UnopenedCount(index),
                          mailboxes.DustboxMessageCount(index),
                          mailboxes.DustboxUnopenedCount(index), mailbox->Name());
}

std::vector<std::string> MailboxEntries(const CMailboxSet& mailboxes) {
  std::vector<std::string> entries;
  for (int i = 0; i < mailboxes.Count(); ++i) entries.push_back(MailboxEntryText(mailboxes, i));
  return entries;
}

std::string TrayTipText(std::string_view mailboxCounts, std::string_view dustboxCounts) {
  std::string tip = kTrayTipHeading;
  tip += mailboxCounts;
  tip += " / ";
  tip += dustboxCounts;
  return CutUtf8(tip, kTrayTipLimit);
}

FrameCounts ComputeFrameCounts(const CMailboxSet& mailboxes) {
  FrameCounts counts;
  counts.mailboxCounts = CountsText(mailboxes.MessageCount(-1), mailboxes.UnopenedCount(-1));
  counts.dustboxCounts =
      CountsText(mailboxes.DustboxMessageCount(-1), mailboxes.DustboxUnopenedCount(-1));
  counts.trayTip = TrayTipText(counts.mailboxCounts, counts.dustboxCounts);
  return counts;
}

int MailboxMenuEntryCount(int mailboxCount) {
  return std::clamp(mailboxCount, 0, kLastMailboxCommand - kFirstMailboxCommand + 1);
}

int MailboxOfMenuCommand(int command) {
  if (command < kFirstMailboxCommand || command > kLastMailboxCommand) return -1;
  return command - kFirstMailboxCommand;
}

}  // namespace qm
