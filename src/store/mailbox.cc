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
  CMailbox* target = disposition.toDustbox && dustbox != nullptr ? dustbox : this;
  // Hidden before it is stored: a mail client logging in meanwhile must never be offered it.
  if (disposition.hide) message.mark.SetHidden(true);
  ServerCopy copy;
  copy.uidl = message.mark.uidl;
  message.GetField("Message-ID", copy.messageId);
  if (deleteNow) message.mark.uidl.clear();
  // The server copy is listed before the lock goes: a trim of the dustbox right after the store
  // must find it, or the copy would end up in no list and be fetched again.
  CReentrantGuard guard(target->storeLock);
  const int n = target->AppendMessage(message, deleteNow ? &copy : nullptr);
  if (n < 0) return -1;
  if (!deleteNow && !copy.uidl.empty()) client->RegisterKnown(copy.uidl, copy.messageId);
  newMail = true;
  return n;
}

CMailboxConfig CMailbox::ConfigSnapshot() const {
  std::lock_guard lock(Main().configLock);
  return *config;
}

void CMailbox::EditConfig(const std::function<void(CMailboxConfig&)>& edit) {
  {
    std::lock_guard lock(Main().configLock);
    edit(*config);
  }
  Main().configDirty = true;
}

int CMailbox::ServerCopyFate(const CMailboxConfig& settings, const std::string& uidl, int verdict,
                             const CMailbox* target) const {
  if (uidl.empty()) return 0;
  const bool toOwnDustbox = target != nullptr && target == dustbox;
  if (settings.KeepOnServerRule(verdict)) return target == nullptr ? 1 : 0;
  switch (settings.GetServerDeletion()) {
    case KeepOnServer:
      return target == nullptr ? 1 : 0;
    case DeleteWhenDustboxed:
      return target == nullptr || toOwnDustbox ? 2 : 0;
    case DeleteWhenPurged:
      return target == nullptr ? 2 : 0;
    case DeleteWhenRetrieved:
      break;
  }
  return 0;
}

int CMailbox::RemoveMessage(int n, CMailbox* target) {
  return RemoveMessages({n}, target) == 1 ? 1 : 0;
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
  ++generation;
  marksDirty = true;
  digestsDirty = true;
  changed = true;
}

int CMailbox::RestoreFromDustbox(int n) {
  if (dustbox == nullptr) return 0;
  return dustbox->RemoveMessage(n, this);
}

void CMailbox::TrimDustbox(SaveWait wait) {
  if (dustbox == nullptr || !config->Has(CMailboxConfig::LimitDustbox)) return;
  if (wait == SaveWait::No) {
    // The idle step must not wait for a mail client reading the dustbox.
    if (!dustbox->storeLock.TryLock()) return;
    struct Unlock {
      CReentrantLock& lock;
      ~Unlock() { lock.Unlock(); }
    } unlock{dustbox->storeLock};
    TrimDustbox(SaveWait::Yes);
    return;
  }
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

int CMailbox::GetClassification(int n, bool force, unsigned* reason, std::uint64_t serial) {
  if (n < 1 || n > MessageCount()) return VerdictUnclassified;
  if ((Mark(n).GetVerdict() == VerdictUnclassified || force) && classifier != nullptr) {
    CMailMessage scratch;
    std::uint64_t readAt = 0;
    bool read = false;
    {
      CReentrantGuard guard(storeLock);
      read = n <= MessageCount() && (serial == 0 || Summary(n).serial == serial) &&
             ReadMessage(n, scratch);
      std::lock_guard lock(indexLock);
      readAt = generation;
    }
    if (read) {
      // Look-ups may take seconds: retrievals and mail clients must not wait for them.
      classifier->Classify(scratch);
      CReentrantGuard guard(storeLock);
      bool same = false;
      {
        std::lock_guard lock(indexLock);
        same = generation == readAt;
      }
      if (same) SetClassification(n, scratch.mark.GetVerdict(), scratch.mark.GetReason());
    }
  }
  const CMailMark mark = Mark(n);
  if (reason != nullptr) *reason = mark.GetReason();
  return mark.GetVerdict();
}

std::vector<ListedMail> CMailbox::Listing() const {
  std::lock_guard lock(indexLock);
  std::vector<ListedMail> listing;
  listing.reserve(static_cast<std::size_t>(messageCount));
  for (int i = 0; i < messageCount; ++i) {
    listing.push_back(
        {summaries[static_cast<std::size_t>(i)], marks[static_cast<std::size_t>(i)].flags});
  }
  return listing;
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

}  // namespace qm
