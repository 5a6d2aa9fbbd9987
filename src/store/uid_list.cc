#include "store/uid_list.h"

#include <cstddef>

#include "store/archive.h"

namespace qm {

void CUidList::Index(std::size_t from) {
  for (std::size_t i = from; i < pairs_.size(); ++i) first_.try_emplace(pairs_[i].first, i);
}

void CUidList::Add(std::string_view uidl, std::string_view messageId) {
  pairs_.emplace_back(std::string(uidl), std::string(messageId));
  Index(pairs_.size() - 1);
}

void CUidList::AppendAll(const CUidList& other) {
  const std::size_t from = pairs_.size();
  if (&other == this) {
    const auto copy = pairs_;
    pairs_.insert(pairs_.end(), copy.begin(), copy.end());
  } else {
    pairs_.insert(pairs_.end(), other.pairs_.begin(), other.pairs_.end());
  }
  Index(from);
}

int CUidList::Find(std::string_view uidl, std::string& messageId) const {
  const auto it = first_.find(std::string(uidl));
  if (it == first_.end()) return 0;
  messageId = pairs_[it->second].second;
  return 1;
}

int CUidList::Take(std::string_view uidl, std::string& messageId) {
  const auto it = first_.find(std::string(uidl));
  if (it == first_.end()) return 0;
  const std::size_t index = it->second;
  messageId = std::move(pairs_[index].second);
  pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(index));
  if (cursor_ > index) --cursor_;
  // The pairs after it moved up by one, and a later pair of the same id may now come first.
  first_.clear();
  Index(0);
  return 1;
}

void CUidList::Clear() {
  pairs_.clear();
  first_.clear();
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
    Index(pairs_.size() - 1);
  }
  return true;
}

}  // namespace qm
