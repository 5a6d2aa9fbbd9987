// The maildrop that the local POP3 server works on: a numbered snapshot of the messages that are
// not hidden, with deletion marks, served byte for byte from the message file. The connection
// that opened it holds storeLock until it closes, so nothing else changes the mailbox meanwhile.
#include <cstdio>

#include "platform/file_io.h"
#include "store/mailbox.h"
#include "store/md5.h"

namespace qm {

namespace {

std::string Hex(const std::array<std::uint8_t, 16>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(32);
  for (std::uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

}  // namespace

int CMailbox::OpenMaildrop() {
  storeLock.Lock();
  try {
    std::lock_guard lock(indexLock);
    maildropMap.assign(1, 0);
    maildropCount = 0;
    for (int i = 0; i < messageCount; ++i) {
      if (marks[i].Hidden()) continue;
      maildropMap.push_back(static_cast<std::uint32_t>(i));
      ++maildropCount;
    }
    maildropDeleted.assign(static_cast<std::size_t>(maildropCount) + 1, 0);
  } catch (...) {
    // No maildrop, so no CloseMaildrop would ever give the mailbox back.
    maildropCount = 0;
    storeLock.Unlock();
    throw;
  }
  return 1;
}

void CMailbox::CloseMaildrop() {
  maildropReader.Close();
  storeLock.Unlock();
}

namespace {
bool Valid(int k, int count, const std::vector<std::uint8_t>& deleted) {
  return k >= 1 && k <= count && deleted[static_cast<std::size_t>(k)] == 0;
}
}  // namespace

void CMailbox::MaildropStat(int& count, std::uint64_t& octets) const {
  count = 0;
  octets = 0;
  for (int k = 1; k <= maildropCount; ++k) {
    if (!Valid(k, maildropCount, maildropDeleted)) continue;
    ++count;
    octets += StoredLength(static_cast<int>(maildropMap[k]) + 1);
  }
}

int CMailbox::MaildropList(std::vector<int>& numbers, std::vector<std::uint64_t>& sizes) const {
  numbers.clear();
  sizes.clear();
  for (int k = 1; k <= maildropCount; ++k) {
    if (!Valid(k, maildropCount, maildropDeleted)) continue;
    numbers.push_back(k);
    sizes.push_back(StoredLength(static_cast<int>(maildropMap[k]) + 1));
  }
  return static_cast<int>(numbers.size());
}

std::uint64_t CMailbox::MaildropSize(int k) const {
  if (!Valid(k, maildropCount, maildropDeleted)) return 0;
  return StoredLength(static_cast<int>(maildropMap[k]) + 1);
}

int CMailbox::MaildropDelete(int k) {
  if (!Valid(k, maildropCount, maildropDeleted)) return 0;
  maildropDeleted[static_cast<std::size_t>(k)] = 1;
  return 1;
}

void CMailbox::MaildropReset() { std::fill(maildropDeleted.begin(), maildropDeleted.end(), 0); }

int CMailbox::MaildropRetrieve(int k, std::string& bytes) {
  if (!Valid(k, maildropCount, maildropDeleted)) return 0;
  const int n = static_cast<int>(maildropMap[k]) + 1;
  if ((maildropReader.IsOpen() || maildropReader.Open(MessageFile())) &&
      maildropReader.ReadAt(static_cast<std::int64_t>(offsets[n - 1]),
                            static_cast<std::size_t>(StoredLength(n)), bytes)) {
    return 1;
  }
  maildropReader.Close();
  // Tried once more on a file of its own, which tells the user when that fails too.
  return ReadStoredBytes(n, bytes) ? 1 : 0;
}

std::string CMailbox::MaildropTop(int k, int lines) {
  std::string bytes;
  if (!MaildropRetrieve(k, bytes)) return {};
  const std::size_t headerEnd = bytes.find("\r\n\r\n");
  if (headerEnd == std::string::npos) return bytes;
  std::size_t cut = headerEnd + 4;
  while (lines > 0 && cut < bytes.size()) {
    const std::size_t lineEnd = bytes.find("\r\n", cut);
    if (lineEnd == std::string::npos) {
      cut = bytes.size();
      break;
    }
    cut = lineEnd + 2;
    --lines;
  }
  bytes.resize(cut);
  return bytes;
}

std::string CMailbox::MessageDigest(int i) {
  CReentrantGuard guard(storeLock);
  if (i < 0 || i >= messageCount) return {};
  auto& cached = digests[static_cast<std::size_t>(i)];
  if (!cached) {
    std::string bytes;
    if (!ReadStoredBytes(i + 1, bytes)) return {};
    CMd5 md5;
    md5.Update(bytes);
    KeepDigest(static_cast<std::size_t>(i), md5.Final());
  }
  return Hex(*cached);
}

void CMailbox::KeepDigest(std::size_t i, const std::array<std::uint8_t, 16>& digest) {
  std::lock_guard lock(indexLock);
  digests[i] = digest;
  digestsDirty = true;
}

std::string CMailbox::MaildropUidl(int k) {
  if (!Valid(k, maildropCount, maildropDeleted)) return {};
  return MessageDigest(static_cast<int>(maildropMap[k]));
}

int CMailbox::MaildropUidlList(std::vector<int>& numbers, std::vector<std::string>& uidls) {
  numbers.clear();
  uidls.clear();
  {
    // The first listing digests every message: one open file and one pass in file order rather
    // than an open and a read for each. What this pass cannot read is left to MessageDigest,
    // which tells the user.
    CReentrantGuard guard(storeLock);
    CFileReader reader;
    std::string bytes;
    for (int k = 1; k <= maildropCount; ++k) {
      if (!Valid(k, maildropCount, maildropDeleted)) continue;
      const auto i = static_cast<std::size_t>(maildropMap[k]);
      if (i >= static_cast<std::size_t>(messageCount) || digests[i]) continue;
      if (!reader.IsOpen() && !reader.Open(MessageFile())) break;
      const int n = static_cast<int>(i) + 1;
      if (!reader.ReadAt(static_cast<std::int64_t>(offsets[i]),
                         static_cast<std::size_t>(StoredLength(n)), bytes)) {
        break;
      }
      CMd5 md5;
      md5.Update(bytes);
      KeepDigest(i, md5.Final());
    }
  }
  for (int k = 1; k <= maildropCount; ++k) {
    if (!Valid(k, maildropCount, maildropDeleted)) continue;
    numbers.push_back(k);
    uidls.push_back(MessageDigest(static_cast<int>(maildropMap[k])));
  }
  return static_cast<int>(numbers.size());
}

// The client's deletions are deletions for good, all in one rewrite of the message file: all of
// them or none.
int CMailbox::MaildropCommit() {
  // The removal replaces the message file.
  maildropReader.Close();
  std::vector<int> doomed;
  for (int k = maildropCount; k >= 1; --k) {
    if (maildropDeleted[static_cast<std::size_t>(k)]) {
      doomed.push_back(static_cast<int>(maildropMap[k]) + 1);
    }
  }
  const bool removed = !doomed.empty() && RemoveMessages(doomed, nullptr) > 0;
  CurrentStoreEvents().MaildropCommitted(*this, removed);
  return doomed.empty() || removed ? 1 : 0;
}

}  // namespace qm
