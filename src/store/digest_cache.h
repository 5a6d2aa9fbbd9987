// N.dig: the MD5 digests of a mailbox's messages (the unique ids the local POP3 server hands
// out), kept beside the message file so that the first UIDL after a start needs not read and
// digest every message again.
//
// It is a cache: a missing, damaged or stale file only costs the digests' computation, never a
// wrong one. Each file is tied to one state of the message file by that file's stamp (size,
// inode number and change time, which every write to it renews and no one can set back) and
// message count, and each entry to its message by offset and length; the whole file carries a
// CRC-32. A file whose stamp, count or any entry does not match the message file as loaded is
// not used at all.
//
// Layout, integers little-endian: "QMDG", u32 version (1), u64 size, u64 inode, i64 change time
// (seconds) and u32 nanoseconds of the message file, u32 message count, u32 entry count, the
// entries (u64 offset, u64 length, 16 digest bytes), u32 CRC-32 of everything before it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/md5.h"

namespace qm {

// What identifies one state of a message file.
struct MessageFileStamp {
  std::uint64_t size = 0;
  std::uint64_t inode = 0;
  std::int64_t changedSeconds = 0;
  std::uint32_t changedNanoseconds = 0;

  friend bool operator==(const MessageFileStamp&, const MessageFileStamp&) = default;
};

struct DigestEntry {
  std::uint64_t offset = 0;  // where the message starts in the message file
  std::uint64_t length = 0;  // its stored length
  CMd5::Digest digest{};

  friend bool operator==(const DigestEntry&, const DigestEntry&) = default;
};

struct DigestCache {
  MessageFileStamp stamp;
  std::uint32_t messageCount = 0;
  std::vector<DigestEntry> entries;

  friend bool operator==(const DigestCache&, const DigestCache&) = default;
};

std::string EncodeDigestCache(const DigestCache& cache);
// Nothing when the bytes are not one whole, undamaged digest file.
std::optional<DigestCache> DecodeDigestCache(std::string_view bytes);

// The stamp of the file at `path` (a symbolic link is not followed); false when it cannot be
// examined.
bool StampOfFile(const std::string& path, MessageFileStamp& stamp);

// True when the file at `path` was last modified strictly after the change time in `stamp`.
// Timestamps come from a clock with ticks: a digest file written within the tick of the
// message file's last change could not tell that change from a later one in the same tick, so
// only a digest file written later than the change it records is trusted.
bool ModifiedAfter(const std::string& path, const MessageFileStamp& stamp);

}  // namespace qm
