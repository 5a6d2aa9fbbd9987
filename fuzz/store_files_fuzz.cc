// The readers of a mailbox's marks, settings, server lists, journal, transaction and digest files
// on arbitrary bytes: they must never read past their input, and what they accept must write back
// to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "store/commit_records.h"
#include "store/digest_cache.h"
#include "store/mailbox_archives.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::vector<qm::CMailMark> marks;
  std::uint32_t count = 0;
  if (qm::ReadMarksArchive(bytes, marks, count)) {
    const std::string again = qm::WriteMarksArchive(marks, marks.size());
    // Readers accept longer length prefixes than the writer uses, so compare by reading back.
    std::vector<qm::CMailMark> reread;
    if (!qm::ReadMarksArchive(again, reread, count) || reread != marks) std::abort();
  }

  qm::CMailboxConfig config;
  qm::CRemoteAccount account;
  if (qm::ReadConfigArchive(bytes, config, account)) {
    qm::CMailboxConfig configAgain;
    qm::CRemoteAccount accountAgain;
    if (!qm::ReadConfigArchive(qm::WriteConfigArchive(config, account), configAgain,
                               accountAgain) ||
        !(configAgain == config) || !(accountAgain == account)) {
      std::abort();
    }
  }

  qm::CUidList deletedHere;
  qm::CUidList pending;
  if (qm::ReadServerListsArchive(bytes, deletedHere, pending)) {
    qm::CUidList deletedAgain;
    qm::CUidList pendingAgain;
    if (!qm::ReadServerListsArchive(qm::WriteServerListsArchive(deletedHere, pending), deletedAgain,
                                    pendingAgain) ||
        !(deletedAgain == deletedHere) || !(pendingAgain == pending)) {
      std::abort();
    }
  }

  // The journal is read up to its first bad record; those read must read back as they are.
  const std::vector<qm::AppendRecord> records = qm::DecodeAppendRecords(bytes);
  std::string journal;
  for (const qm::AppendRecord& record : records) journal += qm::EncodeAppendRecord(record);
  if (qm::DecodeAppendRecords(journal) != records) std::abort();

  if (const auto transaction = qm::DecodeTransaction(bytes)) {
    const auto again = qm::DecodeTransaction(qm::EncodeTransaction(*transaction));
    if (!again || !(*again == *transaction)) std::abort();
  }

  if (const auto digests = qm::DecodeDigestCache(bytes)) {
    const auto again = qm::DecodeDigestCache(qm::EncodeDigestCache(*digests));
    if (!again || !(*again == *digests)) std::abort();
  }
  return 0;
}
