// A mailbox's construction and the operations on its stored messages.
#include "store/mailbox.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "platform/report.h"

namespace qm {

namespace {
std::atomic<IStoreEvents*> storeEvents{nullptr};
IStoreEvents defaultEvents;

}  // namespace

void SetStoreEvents(IStoreEvents* events) { storeEvents.store(events); }

IStoreEvents& CurrentStoreEvents() {
  IStoreEvents* events = storeEvents.load();
  return events ? *events : defaultEvents;
}

CMailbox::CMailbox(std::string mailboxName, CMailbox* main)
    : mainMailbox(main), name(std::move(mailboxName)) {
  offsets.assign(100, 0);
  GrowTo(1);
}

CMailbox::~CMailbox() = default;

std::unique_ptr<CMailbox> CMailbox::CreateMain(const std::string& name,
                                               std::unique_ptr<CMailboxClient> client) {
  std::unique_ptr<CMailbox> mailbox(new CMailbox(name, nullptr));
  mailbox->ownedConfig = std::make_unique<CMailboxConfig>();
  mailbox->ownedClient = client ? std::move(client) : std::make_unique<CMailboxClient>();
  mailbox->config = mailbox->ownedConfig.get();
  mailbox->client = mailbox->ownedClient.get();
  mailbox->ownedDustbox.reset(new CMailbox(name + "_dustbox", mailbox.get()));
  mailbox->dustbox = mailbox->ownedDustbox.get();
  mailbox->dustbox->config = mailbox->config;
  mailbox->dustbox->client = mailbox->client;
  return mailbox;
}

void CMailbox::SetClassifier(IClassifier* newClassifier) {
  classifier = newClassifier;
  if (dustbox != nullptr) dustbox->classifier = newClassifier;
}

// Arrays grow to the size asked for or by an eighth (at least 4, at most 1024 elements), whichever
// is more, and never shrink: removals only lower messageCount.
void CMailbox::GrowTo(std::size_t size) {
  auto grow = [size](auto& array, auto fill) {
    if (array.size() >= size) return;
    const std::size_t step = std::clamp<std::size_t>(array.size() / 8, 4, 1024);
    array.resize(std::max(size, array.size() + step), fill);
  };
  grow(offsets, std::uint64_t{0});
  grow(marks, CMailMark{});
  grow(summaries, MailSummary{});
  grow(digests, std::optional<std::array<std::uint8_t, 16>>{});
}

int CMailbox::StoreRetrieved(CMailMessage& message, int& deleteNow) {
  const int verdict = message.mark.GetVerdict();
  switch (verdict) {
    case VerdictOther:
      ++otherCount;
      break;
    case VerdictFriend:
      ++friendCount;
      break;
    case VerdictSpam:
      ++spamCount;
      break;
    case VerdictBad:
      ++badCount;
      break;
    default:
      break;
  }
  const Disposition disposition = config->DispositionOf(verdict);
  deleteNow = disposition.deleteNow ? 1 : 0;
  if (deleteNow) message.mark.uidl.clear();
  CMailbox* target = disposition.toDustbox && dustbox != nullptr ? dustbox : this;
  const int n = target->AppendMessage(message);
  if (n < 0) return -1;
  if (disposition.hide) target->SetHidden(n);
  newMail = true;
  return n;
}

// The fate of the server copy of a message removed here (`target`: where it moved, if anywhere).
void CMailbox::DecideServerCopy(const std::string& uidl, int verdict, const CMailbox* target) {
  if (uidl.empty()) return;
  const bool toOwnDustbox = target != nullptr && target == dustbox;
  if (config->KeepOnServerRule(verdict)) {
    if (target == nullptr) client->ForgetDeleted(uidl);
    return;
  }
  switch (config->GetServerDeletion()) {
    case KeepOnServer:
      if (target == nullptr) client->ForgetDeleted(uidl);
      break;
    case DeleteWhenDustboxed:
      if (target == nullptr || toOwnDustbox) client->RequestServerDeletion(uidl);
      break;
    case DeleteWhenPurged:
      if (target == nullptr) client->RequestServerDeletion(uidl);
      break;
    case DeleteWhenRetrieved:
      break;
  }
}

int CMailbox::RemoveMessage(int n, CMailbox* target) {
  return RemoveMessages({n}, target) == 1 ? 1 : 0;
}

int CMailbox::RemoveMessages(std::vector<int> numbers, CMailbox* target) {
  CReentrantGuard guard(storeLock);
  std::sort(numbers.begin(), numbers.end(), std::greater<>());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  numbers.erase(std::remove_if(numbers.begin(), numbers.end(),
                               [this](int n) { return n < 1 || n > messageCount; }),
                numbers.end());

  struct Removal {
    int number;
    int verdict;
    std::string uidl;
  };
  std::vector<Removal> removals;
  for (int n : numbers) {
    const int verdict = GetClassification(n, false);
    if (target != nullptr) {
      CMailMessage scratch;
      if (!ReadMessage(n, scratch)) break;
      if (!scratch.mark.uidl.empty() && config->GetServerDeletion() == DeleteWhenDustboxed &&
          target == dustbox && !config->KeepOnServerRule(verdict)) {
        scratch.mark.uidl.clear();
      }
      if (target->AppendMessage(scratch) < 0) {
        ShowMessage("メールの移動に問題が発生しました。\n処理を中止します。");
        break;
      }
    }
    removals.push_back({n, verdict, Mark(n).uidl});
  }
  if (removals.empty()) return 0;

  std::vector<int> removed;
  for (const Removal& removal : removals) removed.push_back(removal.number);
  if (!RewriteWithout(removed)) {
    // The copies already made in the target would be duplicates: take them back out.
    if (target != nullptr) {
      CReentrantGuard targetGuard(target->storeLock);
      std::vector<int> copies;
      for (std::size_t k = 0; k < removals.size(); ++k) {
        copies.push_back(target->MessageCount() - static_cast<int>(k));
      }
      if (target->RewriteWithout(copies)) target->DropIndexEntries(copies);
    }
    ShowMessage("メールの移動に問題が発生しました。\n処理を中止します。");
    return 0;
  }
  for (const Removal& removal : removals) DecideServerCopy(removal.uidl, removal.verdict, target);
  DropIndexEntries(removed);
  return static_cast<int>(removals.size());
}

// Closes the gaps that removed messages (1-based, highest first) leave in the index.
void CMailbox::DropIndexEntries(const std::vector<int>& sortedDescending) {
  std::lock_guard lock(indexLock);
  std::vector<bool> gone(static_cast<std::size_t>(messageCount) + 1, false);
  for (int n : sortedDescending) gone[static_cast<std::size_t>(n)] = true;
  int kept = 0;
  std::uint64_t end = 0;
  for (int n = 1; n <= messageCount; ++n) {
    if (gone[static_cast<std::size_t>(n)]) continue;
    const std::uint64_t length = StoredLength(n);
    const auto to = static_cast<std::size_t>(kept);
    const auto from = static_cast<std::size_t>(n - 1);
    if (to != from) {
      marks[to] = std::move(marks[from]);
      summaries[to] = std::move(summaries[from]);
      digests[to] = digests[from];
    }
    end += length;
    offsets[to + 1] = end;
    ++kept;
  }
  messageCount = kept;
  marksDirty = true;
  changed = true;
}

int CMailbox::RestoreFromDustbox(int n) {
  if (dustbox == nullptr) return 0;
  return dustbox->RemoveMessage(n, this);
}

void CMailbox::TrimDustbox() {
  if (dustbox == nullptr || !config->Has(CMailboxConfig::LimitDustbox)) return;
  const int excess = dustbox->MessageCount() - static_cast<int>(config->dustboxLimit);
  if (excess <= 0) return;
  std::vector<int> oldest;
  for (int n = 1; n <= excess; ++n) oldest.push_back(n);
  dustbox->RemoveMessages(oldest, nullptr);
}

int CMailbox::SetHidden(int n) {
  CReentrantGuard guard(storeLock);
  std::lock_guard lock(indexLock);
  if (n < 1 || n > messageCount) return 0;
  marks[n - 1].SetHidden(true);
  marksDirty = true;
  return 1;
}

int CMailbox::ClearHidden(int n) {
  CReentrantGuard guard(storeLock);
  std::lock_guard lock(indexLock);
  if (n < 1 || n > messageCount) return 0;
  marks[n - 1].SetHidden(false);
  marksDirty = true;
  return 1;
}

int CMailbox::SetOpened(int n, bool on) {
  {
    std::lock_guard lock(indexLock);
    if (n < 1 || n > messageCount) return 0;
    CMailMark& mark = marks[n - 1];
    if (on && mark.Opened()) return 1;
    mark.SetOpened(on);
    marksDirty = true;
  }
  CurrentStoreEvents().UnreadChanged();
  return 1;
}

void CMailbox::MarkAllOpened() {
  for (int n = MessageCount(); n >= 1; --n) SetOpened(n, true);
  marksDirty = true;
  CurrentStoreEvents().UnreadChanged();
}

int CMailbox::SetClassification(int n, int verdict, unsigned reason) {
  std::lock_guard lock(indexLock);
  if (n < 1 || n > messageCount) return 0;
  marks[n - 1].SetClassification(verdict, reason);
  summaries[n - 1].verdict = marks[n - 1].GetVerdict();
  summaries[n - 1].reason = marks[n - 1].GetReason();
  marksDirty = true;
  return 1;
}

int CMailbox::GetClassification(int n, bool force, unsigned* reason) {
  // The message is read and classified under storeLock, so that it cannot move meanwhile.
  CReentrantGuard guard(storeLock);
  if (n < 1 || n > MessageCount()) return VerdictUnclassified;
  if ((Mark(n).GetVerdict() == VerdictUnclassified || force) && classifier != nullptr) {
    CMailMessage scratch;
    if (ReadMessage(n, scratch)) {
      classifier->Classify(scratch);
      SetClassification(n, scratch.mark.GetVerdict(), scratch.mark.GetReason());
    }
  }
  const CMailMark mark = Mark(n);
  if (reason != nullptr) *reason = mark.GetReason();
  return mark.GetVerdict();
}

int CMailbox::UnopenedCount() const {
  std::lock_guard lock(indexLock);
  int count = 0;
  for (int i = 0; i < messageCount; ++i) count += marks[i].Opened() ? 0 : 1;
  return count;
}

int CMailbox::TakeChanged() {
  if (dustbox != nullptr && dustbox->TakeChanged()) {
    changed = false;
    return 1;
  }
  return changed.exchange(false) ? 1 : 0;
}

void CMailbox::ResetCounters() {
  friendCount = 0;
  badCount = 0;
  spamCount = 0;
  otherCount = 0;
}

// The emptied unique ids are saved with the marks, so that a restart does not track them again.
void CMailbox::ReleaseServerCopies() {
  CReentrantGuard guard(storeLock);
  for (int n = 1; n <= MessageCount(); ++n) {
    const std::string uidl = Mark(n).uidl;
    if (uidl.empty()) continue;
    const int verdict = GetClassification(n, false);
    if (config->KeepOnServerRule(verdict)) continue;
    client->RequestServerDeletion(uidl);
    std::lock_guard lock(indexLock);
    marks[static_cast<std::size_t>(n - 1)].uidl.clear();
    marksDirty = true;
  }
}

}  // namespace qm
