// The byte layouts of the two files that make a mailbox's changes crash-consistent, as pure
// functions over bytes.
//
// N.jnl, one per mailbox and per dustbox: for each message appended since the marks file was
// last written, where it lies in the message file and the mark it was stored with. A message
// reaches the message file only after its record reached this file, so a kill between the two
// leaves a record without its message (ignored at load), never a message without its mark.
//
// N.txn, one per mailbox and its dustbox: the intent of a change that spans several files
// (moving, restoring or deleting messages, releasing server copies), written whole before the
// first of those files changes. It holds the sizes of the message files before and after and
// the complete marks files after, so the next load can tell from the message files how far the
// change got and complete or undo it.
//
// Each record carries a CRC-32 of its payload: a record cut off by a kill, or damaged, is told
// from a whole one and ignored with everything after it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/uid_list.h"

namespace qm {

// CRC-32 as in zlib and Ethernet (reflected polynomial 0xEDB88320).
std::uint32_t Crc32(std::string_view bytes);

struct AppendRecord {
  std::uint64_t offset = 0;  // where the message starts in the message file
  std::uint64_t length = 0;  // its stored length
  std::uint32_t flags = 0;   // its mark
  std::string uidl;
  // A server copy whose deletion this store decided (its unique id and Message-ID); empty when
  // none. The deletion must be remembered even when the kill comes before the server lists are
  // saved, or the next retrieval would fetch the copy again.
  std::string pendingUidl;
  std::string pendingMessageId;

  friend bool operator==(const AppendRecord&, const AppendRecord&) = default;
};

std::string EncodeAppendRecord(const AppendRecord& record);
// The whole records from the start of `bytes`, in order; stops at the first record that is cut
// off or damaged.
std::vector<AppendRecord> DecodeAppendRecords(std::string_view bytes);

// Which of the pair a part of a transaction concerns.
enum class PairMember : std::uint32_t { Main = 0, Dustbox = 1 };

struct TransactionBox {
  PairMember member = PairMember::Main;
  std::uint64_t sizeBefore = 0;  // of its message file
  std::uint64_t sizeAfter = 0;
  std::string marksFile;  // the complete marks file after the change

  friend bool operator==(const TransactionBox&, const TransactionBox&) = default;
};

struct Transaction {
  std::vector<TransactionBox> boxes;
  // Pairs that join the server lists (these changes only ever add).
  CUidList deletedHereAdded;
  CUidList pendingAdded;

  friend bool operator==(const Transaction&, const Transaction&) = default;
};

std::string EncodeTransaction(const Transaction& transaction);
// Nothing when the bytes are not one whole, undamaged transaction.
std::optional<Transaction> DecodeTransaction(std::string_view bytes);

}  // namespace qm
