// The user's friend list and bad list of sender addresses, shared by every classifying thread
// and changed by the list commands. A key counts as listed when the list holds it or a stored
// entry that is a prefix of it ("taro@" covers every address that starts so).
#pragma once

#include <atomic>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "classify/text_list.h"

namespace qm {

enum class SenderList { Friend, Bad };

class CSenderLists {
 public:
  static constexpr const char* kFriendFile = "friend.txt";
  static constexpr const char* kBadFile = "bad.txt";

  bool InFriendList(std::string_view address) const;
  bool InBadList(std::string_view address) const;

  // An empty sender address cannot be stored; this flag makes it count as a bad-list address.
  bool AddEmptyAddrToBadlist() const { return addEmptyAddrToBadlist; }
  void SetAddEmptyAddrToBadlist(bool on) { addEmptyAddrToBadlist = on; }

  // Adding to one list takes the address out of the other. Empty addresses are refused (false).
  bool AddFriend(std::string_view address);
  bool AddBad(std::string_view address);
  bool RemoveFriend(std::string_view address);
  bool RemoveBad(std::string_view address);
  // The list editor works on one list at a time: adding leaves the other list as it is, so an
  // address may stand in both. Empty addresses are refused (false).
  bool AddTo(SenderList list, std::string_view address);
  bool RemoveFrom(SenderList list, std::string_view address);

  // Both files in `directory`; a missing file leaves its list empty.
  void Load(const std::string& directory);
  // Writes each list that changed since it was loaded or saved; false when a write failed (that
  // list stays marked as changed).
  bool SaveChanged(const std::string& directory);
  bool Changed() const { return friendChanged || badChanged; }

  // The entries in byte order, for listing.
  std::vector<std::string> FriendEntries() const;
  std::vector<std::string> BadEntries() const;
  std::vector<std::string> Entries(SenderList list) const;

 private:
  bool Add(SenderList list, std::string_view address, bool takeFromOther);
  static std::string PathOf(const std::string& directory, const char* file);
  static bool SaveList(const TextList& list, const std::string& path);

  mutable std::shared_mutex mutex;
  TextList friends;
  TextList bads;
  bool friendChanged = false;
  bool badChanged = false;
  std::atomic<bool> addEmptyAddrToBadlist{false};
};

}  // namespace qm
