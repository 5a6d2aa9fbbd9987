#include "store/uid_list.h"

#include <algorithm>

#include "store/archive.h"

namespace qm {

void CUidList::Add(std::string_view uidl, std::string_view messageId) {
  pairs_.emplace_back(std::string(uidl), std::string(messageId));
}

void CUidList::AppendAll(const CUidList& other) {
  if (&other == this) {
    const auto copy = pairs_;
    pairs_.insert(pairs_.end(), copy.begin(), copy.end());
    return;
  }
  pairs_.insert(pairs_.end(), other.pairs_.begin(), other.pairs_.end());
}

int CUidList::Find(std::string_view uidl, std::string& messageId) const {
  const auto it = std::find_if(pairs_.begin(), pairs_.end(),
                               [&](const auto& pair) { return pair.first == uidl; });
  if (it == pairs_.end()) return 0;
  messageId = it->second;
  return 1;
}

int CUidList::Take(std::string_view uidl, std::string& messageId) {
  const auto it = std::find_if(pairs_.begin(), pairs_.end(),
                               [&](const auto& pair) { return pair.first == uidl; });
  if (it == pairs_.end()) return 0;
  messageId = std::move(it->second);
  const auto index = static_cast<std::size_t>(it - pairs_.begin());
  pairs_.erase(it);
  if (cursor_ > index) --cursor_;
  return 1;
}

void CUidList::Clear() {
  pairs_.clear();
  cursor_ = 0;
}

int CUidList::Next(std::string& uidl, std::string& messageId) {
  if (cursor_ >= pairs_.size()) return 0;
  uidl = pairs_[cursor_].first;
  messageId = pairs_[cursor_].second;
  ++cursor_;
  return 1;
}

void CUidList::Write(CArchiveWriter& archive) const {
  archive.WriteU32(static_cast<std::uint32_t>(pairs_.size()));
  for (const auto& [uidl, messageId] : pairs_) {
    archive.WriteString(uidl);
    archive.WriteString(messageId);
  }
}

bool CUidList::Read(CArchiveReader& archive) {
  std::uint32_t count = 0;
  if (!archive.ReadU32(count)) return false;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string uidl;
    std::string messageId;
    if (!archive.ReadString(uidl) || !archive.ReadString(messageId)) return false;
    pairs_.emplace_back(std::move(uidl), std::move(messageId));
  }
  return true;
}

}  // namespace qm
