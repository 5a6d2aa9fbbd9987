#include "classify/sender_lists.h"

#include <filesystem>
#include <mutex>

#include "platform/file_io.h"

namespace qm {

bool CSenderLists::InFriendList(std::string_view address) const {
  std::shared_lock lock(mutex);
  return friends.Find(address) > 0;
}

bool CSenderLists::InBadList(std::string_view address) const {
  std::shared_lock lock(mutex);
  return bads.Find(address) > 0;
}

bool CSenderLists::AddFriend(std::string_view address) {
  return Add(SenderList::Friend, address, true);
}

bool CSenderLists::AddBad(std::string_view address) { return Add(SenderList::Bad, address, true); }

bool CSenderLists::Add(SenderList list, std::string_view address, bool takeFromOther) {
  if (address.empty()) return false;
  const bool toFriends = list == SenderList::Friend;
  std::unique_lock lock(mutex);
  (toFriends ? friends : bads).Insert(address, 0);
  (toFriends ? friendChanged : badChanged) = true;
  if (takeFromOther && (toFriends ? bads : friends).Remove(address)) {
    (toFriends ? badChanged : friendChanged) = true;
  }
  return true;
}

bool CSenderLists::RemoveFriend(std::string_view address) {
  std::unique_lock lock(mutex);
  const bool removed = friends.Remove(address) != 0;
  friendChanged = friendChanged || removed;
  return removed;
}

bool CSenderLists::RemoveBad(std::string_view address) {
  std::unique_lock lock(mutex);
  const bool removed = bads.Remove(address) != 0;
  badChanged = badChanged || removed;
  return removed;
}

bool CSenderLists::AddTo(SenderList list, std::string_view address) {
  return Add(list, address, false);
}

bool CSenderLists::RemoveFrom(SenderList list, std::string_view address) {
  return list == SenderList::Friend ? RemoveFriend(address) : RemoveBad(address);
}

std::string CSenderLists::PathOf(const std::string& directory, const char* file) {
  return directory.empty() ? std::string(file) : (std::filesystem::path(directory) / file).string();
}

void CSenderLists::Load(const std::string& directory) {
  std::unique_lock lock(mutex);
  friends.Load(PathOf(directory, kFriendFile));
  bads.Load(PathOf(directory, kBadFile));
  friendChanged = false;
  badChanged = false;
}

// A list whose last entry was removed is written as an empty file: keeping the old file would
// bring the removed entries back at the next start.
bool CSenderLists::SaveList(const TextList& list, const std::string& path) {
  if (list.Empty()) return ReplaceFileContent(path, {});
  return list.Save(path) != 0;
}

bool CSenderLists::SaveChanged(const std::string& directory) {
  std::unique_lock lock(mutex);
  bool ok = true;
  if (friendChanged) {
    if (SaveList(friends, PathOf(directory, kFriendFile))) {
      friendChanged = false;
    } else {
      ok = false;
    }
  }
  if (badChanged) {
    if (SaveList(bads, PathOf(directory, kBadFile))) {
      badChanged = false;
    } else {
      ok = false;
    }
  }
  return ok;
}

namespace {
std::vector<std::string> Keys(const TextList& list) {
  std::vector<std::string> keys;
  list.ForEach([&keys](std::string_view key, std::int32_t) {
    keys.emplace_back(key);
    return 1;
  });
  return keys;
}
}  // namespace

std::vector<std::string> CSenderLists::Entries(SenderList list) const {
  return list == SenderList::Friend ? FriendEntries() : BadEntries();
}

std::vector<std::string> CSenderLists::FriendEntries() const {
  std::shared_lock lock(mutex);
  return Keys(friends);
}

std::vector<std::string> CSenderLists::BadEntries() const {
  std::shared_lock lock(mutex);
  return Keys(bads);
}

}  // namespace qm
