// An ordered list of (unique id, Message-ID) pairs: what the program remembers of messages on a
// remote server. Duplicates are allowed; look-ups take the first pair of a unique id.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qm {

class CArchiveReader;
class CArchiveWriter;

class CUidList {
 public:
  void Add(std::string_view uidl, std::string_view messageId);
  void AppendAll(const CUidList& other);
  // 1 and the Message-ID of the first pair with this unique id; 0 when there is none.
  int Find(std::string_view uidl, std::string& messageId) const;
  // As Find, and the pair is removed.
  int Take(std::string_view uidl, std::string& messageId);
  void Clear();
  std::size_t Count() const { return pairs_.size(); }

  void Rewind() { cursor_ = 0; }
  // The next pair in order; 0 after the last.
  int Next(std::string& uidl, std::string& messageId);

  // The count, then each pair's unique id and Message-ID.
  void Write(CArchiveWriter& archive) const;
  // Appends the pairs read; false when the data ends early (the pairs read whole are kept).
  bool Read(CArchiveReader& archive);

  friend bool operator==(const CUidList& a, const CUidList& b) { return a.pairs_ == b.pairs_; }

 private:
  void Index(std::size_t from);

  std::vector<std::pair<std::string, std::string>> pairs_;
  // Each unique id's first pair: a retrieval asks for every message on the server, and a mailbox
  // kept on the server may hold tens of thousands.
  std::unordered_map<std::string, std::size_t> first_;
  std::size_t cursor_ = 0;
};

}  // namespace qm
