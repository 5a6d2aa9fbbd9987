// Membership and order of the mailbox set, and the settings value that keeps them.
#include "mailboxes/mailbox_set.h"

#include <new>
#include <utility>

#include "mailboxes/mailbox_name.h"
#include "platform/profile.h"
#include "pop3client/pop3_session.h"

namespace qm {

namespace {

// The store names a dustbox after its mailbox with this suffix.
constexpr std::string_view kDustboxSuffix = "_dustbox";

}  // namespace

CMailboxSet::CMailboxSet(CProfile& settingsFile) : settings(settingsFile) {}

CMailboxSet::~CMailboxSet() { StopRetrievals(); }

int CMailboxSet::LoadAll() {
  const std::string value = settings.GetString(kListSection, kListKey, "");
  for (const std::string& name : SplitMailboxList(value)) Add(name);
  return 1;
}

int CMailboxSet::SaveList() {
  std::vector<std::string> names;
  for (CMailbox* mailbox : Snapshot()) names.push_back(mailbox->Name());
  const std::string value = JoinMailboxList(names);
  return settings.WriteString(kListSection, kListKey, value.c_str()) ? 1 : 0;
}

std::vector<CMailbox*> CMailboxSet::Snapshot(int index) const {
  std::vector<CMailbox*> chosen;
  std::shared_lock lock(setLock);
  if (index == -1) {
    chosen.reserve(mailboxes.size());
    for (const auto& mailbox : mailboxes) chosen.push_back(mailbox.get());
  } else if (ValidLocked(index)) {
    chosen.push_back(mailboxes[static_cast<std::size_t>(index)].get());
  }
  return chosen;
}

// Two mailboxes a and a_dustbox would both keep their messages in a_dustbox.mbx.
bool CMailboxSet::NameInUse(const std::string& name) const {
  const std::string dustboxName = name + std::string(kDustboxSuffix);
  for (CMailbox* mailbox : Snapshot()) {
    if (mailbox->Name() == name || mailbox->Name() == dustboxName ||
        mailbox->Dustbox()->Name() == name) {
      return true;
    }
  }
  return false;
}

int CMailboxSet::Add(std::string_view rawName) {
  const std::string name = TrimBlanks(rawName);
  if (CheckMailboxName(name) != MailboxNameProblem::None) return kCannotCreate;
  if (NameInUse(name)) return kNameInUse;
  try {
    auto session = std::make_unique<CPop3Session>();
    session->SetTimeout(serverTimeout);
    std::unique_ptr<CMailbox> mailbox = CMailbox::CreateMain(name, std::move(session));
    if (!mailbox->Load()) return kCannotCreate;
    mailbox->SetClassifier(classifier);
    std::unique_lock lock(setLock);
    // Room first, so that the two arrays cannot get out of step.
    mailboxes.reserve(mailboxes.size() + 1);
    timerIds.reserve(timerIds.size() + 1);
    mailboxes.push_back(std::move(mailbox));
    timerIds.push_back(0);
    return static_cast<int>(mailboxes.size()) - 1;
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

int CMailboxSet::Remove(int index) {
  CMailbox* found = Get(index);
  if (found == nullptr) return 0;
  CMailbox& mailbox = *found;
  // A retrieval or a mail client at work on the mailbox keeps it: deleting its files under them
  // would lose what they write, or bring the files back.
  if (!mailbox.retrievalLock.TryAcquire()) return 0;
  const bool clientsAway = mailbox.storeLock.TryLock();
  const bool dustboxClientsAway = clientsAway && mailbox.Dustbox()->storeLock.TryLock();
  if (dustboxClientsAway) {
    mailbox.DeleteFiles();
    std::unique_lock lock(setLock);
    // Kept alive, not destroyed: a thread that looked the mailbox up a moment ago may still hold
    // its address. Room first, so that nothing can fail between the moves.
    retired.reserve(retired.size() + 1);
    retired.push_back(std::move(mailboxes[static_cast<std::size_t>(index)]));
    mailboxes.erase(mailboxes.begin() + index);
    timerIds.erase(timerIds.begin() + index);
  }
  if (dustboxClientsAway) mailbox.Dustbox()->storeLock.Unlock();
  if (clientsAway) mailbox.storeLock.Unlock();
  mailbox.retrievalLock.Release();
  return dustboxClientsAway ? 1 : 0;
}

CMailbox* CMailboxSet::Get(int index) const {
  std::shared_lock lock(setLock);
  return ValidLocked(index) ? mailboxes[static_cast<std::size_t>(index)].get() : nullptr;
}

int CMailboxSet::Count() const {
  std::shared_lock lock(setLock);
  return static_cast<int>(mailboxes.size());
}

int CMailboxSet::Find(std::string_view name) const {
  const std::string trimmed = TrimBlanks(name);
  std::shared_lock lock(setLock);
  for (std::size_t i = 0; i < mailboxes.size(); ++i) {
    if (mailboxes[i]->Name() == trimmed) return static_cast<int>(i);
  }
  return -1;
}

int CMailboxSet::IndexOf(const CMailbox& mailbox) const {
  std::shared_lock lock(setLock);
  return IndexOfLocked(mailbox);
}

int CMailboxSet::IndexOfLocked(const CMailbox& mailbox) const {
  const CMailbox* main = mailbox.IsDustbox() ? mailbox.MainMailbox() : &mailbox;
  for (std::size_t i = 0; i < mailboxes.size(); ++i) {
    if (mailboxes[i].get() == main) return static_cast<int>(i);
  }
  return -1;
}

int CMailboxSet::MoveUp(int index) {
  std::unique_lock lock(setLock);
  if (index < 1 || !ValidLocked(index)) return 0;
  const auto i = static_cast<std::size_t>(index);
  std::swap(mailboxes[i], mailboxes[i - 1]);
  std::swap(timerIds[i], timerIds[i - 1]);
  return 1;
}

int CMailboxSet::MoveDown(int index) {
  std::unique_lock lock(setLock);
  if (!ValidLocked(index) || !ValidLocked(index + 1)) return 0;
  const auto i = static_cast<std::size_t>(index);
  std::swap(mailboxes[i], mailboxes[i + 1]);
  std::swap(timerIds[i], timerIds[i + 1]);
  return 1;
}

std::uint32_t CMailboxSet::TimerId(int index) const {
  std::shared_lock lock(setLock);
  return ValidLocked(index) ? timerIds[static_cast<std::size_t>(index)] : 0;
}

void CMailboxSet::SetTimerId(int index, std::uint32_t id) {
  std::unique_lock lock(setLock);
  if (ValidLocked(index)) timerIds[static_cast<std::size_t>(index)] = id;
}

int CMailboxSet::EditConfig(int index, const std::function<void(CMailboxConfig&)>& edit) {
  std::unique_lock lock(setLock);
  if (!ValidLocked(index)) return 0;
  mailboxes[static_cast<std::size_t>(index)]->EditConfig(edit);
  return 1;
}

void CMailboxSet::SetClassifier(IClassifier* newClassifier) {
  classifier = newClassifier;
  for (CMailbox* mailbox : Snapshot()) mailbox->SetClassifier(newClassifier);
}

}  // namespace qm
