#include "store/server_lists.h"

#include <cerrno>
#include <unordered_map>
#include <utility>

#include "platform/file_io.h"
#include "platform/report.h"
#include "store/mailbox_archives.h"

namespace qm {

void CMailboxClient::RegisterKnown(std::string_view uidl, std::string_view messageId) {
  std::lock_guard lock(listLock);
  knownUidls.Add(uidl, messageId);
}

bool CMailboxClient::IsKnown(std::string_view uidl) {
  std::lock_guard lock(listLock);
  std::string ignored;
  return knownUidls.Find(uidl, ignored) != 0;
}

int CMailboxClient::KnownMessageId(std::string_view uidl, std::string& messageId) {
  std::lock_guard lock(listLock);
  return knownUidls.Find(uidl, messageId);
}

int CMailboxClient::FindPendingDeletion(std::string_view uidl, std::string& messageId) {
  std::lock_guard lock(listLock);
  return pendingDeletions.Find(uidl, messageId);
}

bool CMailboxClient::IsDeletedHere(std::string_view uidl) {
  std::lock_guard lock(listLock);
  std::string ignored;
  return deletedHere.Find(uidl, ignored) != 0;
}

int CMailboxClient::TakePendingDeletion(std::string_view uidl, std::string& messageId) {
  std::lock_guard lock(listLock);
  const int found = pendingDeletions.Take(uidl, messageId);
  if (found) listsChanged = true;
  return found;
}

void CMailboxClient::ForgetDeleted(std::string_view uidl) {
  std::lock_guard lock(listLock);
  std::string messageId;
  if (knownUidls.Take(uidl, messageId)) {
    deletedHere.Add(uidl, messageId);
    listsChanged = true;
  }
}

void CMailboxClient::RequestServerDeletion(std::string_view uidl) {
  std::lock_guard lock(listLock);
  std::string messageId;
  if (knownUidls.Take(uidl, messageId)) {
    pendingDeletions.Add(uidl, messageId);
    listsChanged = true;
  }
}

void CMailboxClient::RememberSentDeletion(std::string_view uidl, std::string_view messageId) {
  std::lock_guard lock(listLock);
  pendingDeletions.Add(uidl, messageId);
  listsChanged = true;
}

void CMailboxClient::MergeAdded(const CUidList& deletedHereAdded, const CUidList& pendingAdded) {
  std::lock_guard lock(listLock);
  const auto merge = [this](CUidList added, CUidList& list) {
    added.Rewind();
    std::string uidl;
    std::string messageId;
    std::string ignored;
    while (added.Next(uidl, messageId)) {
      if (list.Find(uidl, ignored)) continue;
      list.Add(uidl, messageId);
      listsChanged = true;
    }
  };
  merge(deletedHereAdded, deletedHere);
  merge(pendingAdded, pendingDeletions);
}

void CMailboxClient::PruneServerLists(const std::vector<std::string>& serverUids) {
  // How many more entries each listed id may keep.
  std::unordered_map<std::string_view, std::size_t> unclaimed;
  for (const std::string& uid : serverUids) ++unclaimed[uid];
  std::size_t left = serverUids.size();

  std::lock_guard lock(listLock);
  for (CUidList* list : {&deletedHere, &knownUidls, &pendingDeletions}) {
    if (list->Count() == 0) continue;
    CUidList scratch = std::move(*list);
    list->Clear();
    scratch.Rewind();
    std::string uid;
    std::string messageId;
    while (left > 0 && scratch.Next(uid, messageId)) {
      const auto found = unclaimed.find(uid);
      if (found == unclaimed.end() || found->second == 0) continue;
      --found->second;
      --left;
      list->Add(uid, messageId);
    }
    if (list != &knownUidls && list->Count() != scratch.Count()) listsChanged = true;
  }
}

void CMailboxClient::ClearPendingDeletions() {
  std::lock_guard lock(listLock);
  if (pendingDeletions.Count() != 0) listsChanged = true;
  pendingDeletions.Clear();
}

void CMailboxClient::ClearDeletedHere() {
  std::lock_guard lock(listLock);
  if (deletedHere.Count() != 0) listsChanged = true;
  deletedHere.Clear();
}

void CMailboxClient::DeleteDeletedHereOnServer() {
  std::lock_guard lock(listLock);
  if (deletedHere.Count() == 0) return;
  pendingDeletions.AppendAll(deletedHere);
  deletedHere.Clear();
  listsChanged = true;
}

int CMailboxClient::SaveServerLists(const std::string& path) {
  std::lock_guard lock(listLock);
  if (deletedHere.Count() == 0 && pendingDeletions.Count() == 0) {
    int error = 0;
    if (!RemoveFile(path, &error)) return 0;
    listsChanged = false;
    return 1;
  }
  int error = 0;
  if (!ReplaceFileContent(path, WriteServerListsArchive(deletedHere, pendingDeletions), &error)) {
    ShowMessage("サーバメールファイルが保存できません。");
    return 0;
  }
  listsChanged = false;
  return 1;
}

int CMailboxClient::LoadServerLists(const std::string& path) {
  std::lock_guard lock(listLock);
  deletedHere.Clear();
  pendingDeletions.Clear();
  listsChanged = false;
  std::string content;
  int error = 0;
  if (!ReadFileContent(path, content, &error)) return error == ENOENT ? 1 : 0;
  if (ReadServerListsArchive(content, deletedHere, pendingDeletions)) return 1;
  Log("MBX : Server list file ( " + path + " ) is damaged; keeping what could be read.");
  // What the file held beyond the damage is gone: write the lists back as they are now.
  listsChanged = true;
  return 0;
}

bool CMailboxClient::ServerListsChanged() {
  std::lock_guard lock(listLock);
  return listsChanged;
}

CUidList CMailboxClient::KnownUidls() {
  std::lock_guard lock(listLock);
  return knownUidls;
}

CUidList CMailboxClient::DeletedHere() {
  std::lock_guard lock(listLock);
  return deletedHere;
}

CUidList CMailboxClient::PendingDeletions() {
  std::lock_guard lock(listLock);
  return pendingDeletions;
}

}  // namespace qm
