// What the front ends and the notification ask of the whole set, and saving it.
#include "mailboxes/mailbox_set.h"

namespace qm {

namespace {

MailStatistics CountersOf(const CMailbox& mailbox) {
  MailStatistics counts;
  counts.friendCount = mailbox.friendCount.load();
  counts.badCount = mailbox.badCount.load();
  counts.spamCount = mailbox.spamCount.load();
  counts.otherCount = mailbox.otherCount.load();
  const CMailboxConfig& config = mailbox.Config();
  counts.notify = (counts.friendCount > 0 && config.Has(CMailboxConfig::NotifyFriend)) ||
                  (counts.badCount > 0 && config.Has(CMailboxConfig::NotifyBad)) ||
                  (counts.spamCount > 0 && config.Has(CMailboxConfig::NotifySpam)) ||
                  (counts.otherCount > 0 && config.Has(CMailboxConfig::NotifyOther));
  return counts;
}

}  // namespace

int CMailboxSet::SumOrOne(int index, int (*count)(const CMailbox&)) const {
  if (index != -1 && Get(index) == nullptr) return -1;
  int sum = 0;
  for (CMailbox* mailbox : Snapshot(index)) sum += count(*mailbox);
  return sum;
}

int CMailboxSet::UnopenedCount(int index) const {
  return SumOrOne(index, [](const CMailbox& m) { return m.UnopenedCount(); });
}

int CMailboxSet::MessageCount(int index) const {
  return SumOrOne(index, [](const CMailbox& m) { return m.MessageCount(); });
}

int CMailboxSet::DustboxUnopenedCount(int index) const {
  return SumOrOne(index, [](const CMailbox& m) { return m.Dustbox()->UnopenedCount(); });
}

int CMailboxSet::DustboxMessageCount(int index) const {
  return SumOrOne(index, [](const CMailbox& m) { return m.Dustbox()->MessageCount(); });
}

// The settings are read without the set's lock: only the user-interface thread, which asks
// these, changes them.
int CMailboxSet::Statistics(int index, MailStatistics& out) {
  out = MailStatistics{};
  if (index != -1 && Get(index) == nullptr) return 0;
  for (CMailbox* mailbox : Snapshot(index)) {
    const MailStatistics one = CountersOf(*mailbox);
    out.friendCount += one.friendCount;
    out.badCount += one.badCount;
    out.spamCount += one.spamCount;
    out.otherCount += one.otherCount;
    out.notify = out.notify || one.notify;
    // Every mailbox's flag is taken, not only up to the first one set.
    const bool newMail = mailbox->TakeNewMail();
    out.newMail = out.newMail || newMail;
  }
  return 1;
}

int CMailboxSet::FirstToNotify() const {
  const std::vector<CMailbox*> all = Snapshot();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (CountersOf(*all[i]).notify) return static_cast<int>(i);
  }
  return -1;
}

int CMailboxSet::ResetCounters(int index) {
  if (index != -1 && Get(index) == nullptr) return 0;
  for (CMailbox* mailbox : Snapshot(index)) mailbox->ResetCounters();
  return 1;
}

// The dustbox is saved with its mailbox, not only at exit: its marks hold the unique ids of the
// server copies, and a crash that lost them would bring that mail back at the next retrieval.
int CMailboxSet::SaveAll(int index, CMailbox::SaveWait wait) {
  if (index != -1 && Get(index) == nullptr) return 0;
  int ok = 1;
  for (CMailbox* mailbox : Snapshot(index)) {
    if (!mailbox->Save(wait)) ok = 0;
    if (!mailbox->Dustbox()->Save(wait)) ok = 0;
  }
  return ok;
}

int CMailboxSet::SaveAtExit() {
  int ok = 1;
  const std::vector<CMailbox*> all = Snapshot();
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    CMailbox& mailbox = **it;
    if (!mailbox.Save()) ok = 0;
    CMailbox& dustbox = *mailbox.Dustbox();
    if (mailbox.Config().Has(CMailboxConfig::OpenDustboxAtExit)) dustbox.MarkAllOpened();
    if (!dustbox.Save()) ok = 0;
    if (!mailbox.SaveServerLists()) ok = 0;
  }
  return ok;
}

}  // namespace qm
