#include "store/digest_cache.h"

#include <sys/stat.h>

#include "store/commit_records.h"

namespace qm {

namespace {

// "QMDG": tells a digest file from anything else that might lie under its name.
constexpr std::uint32_t kMagic = 0x47444D51;
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 4 + 4 + 8 + 8 + 8 + 4 + 4 + 4;
constexpr std::size_t kEntrySize = 8 + 8 + 16;

void Put(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t Get(std::string_view bytes, std::size_t& at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i) {
    value |= std::uint64_t{static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)])}
             << (8 * i);
  }
  at += static_cast<std::size_t>(count);
  return value;
}

}  // namespace

std::string EncodeDigestCache(const DigestCache& cache) {
  std::string out;
  out.reserve(kHeaderSize + kEntrySize * cache.entries.size() + 4);
  Put(out, kMagic, 4);
  Put(out, kVersion, 4);
  Put(out, cache.stamp.size, 8);
  Put(out, cache.stamp.inode, 8);
  Put(out, static_cast<std::uint64_t>(cache.stamp.changedSeconds), 8);
  Put(out, cache.stamp.changedNanoseconds, 4);
  Put(out, cache.messageCount, 4);
  Put(out, cache.entries.size(), 4);
  for (const DigestEntry& entry : cache.entries) {
    Put(out, entry.offset, 8);
    Put(out, entry.length, 8);
    out.append(reinterpret_cast<const char*>(entry.digest.data()), entry.digest.size());
  }
  Put(out, Crc32(out), 4);
  return out;
}

std::optional<DigestCache> DecodeDigestCache(std::string_view bytes) {
  if (bytes.size() < kHeaderSize + 4) return {};
  std::size_t at = bytes.size() - 4;
  if (Get(bytes, at, 4) != Crc32(bytes.substr(0, bytes.size() - 4))) return {};
  at = 0;
  if (Get(bytes, at, 4) != kMagic || Get(bytes, at, 4) != kVersion) return {};
  DigestCache cache;
  cache.stamp.size = Get(bytes, at, 8);
  cache.stamp.inode = Get(bytes, at, 8);
  cache.stamp.changedSeconds = static_cast<std::int64_t>(Get(bytes, at, 8));
  cache.stamp.changedNanoseconds = static_cast<std::uint32_t>(Get(bytes, at, 4));
  cache.messageCount = static_cast<std::uint32_t>(Get(bytes, at, 4));
  const std::uint64_t count = Get(bytes, at, 4);
  // The size must be exactly what the count says, checked before anything is allocated.
  if ((bytes.size() - kHeaderSize - 4) / kEntrySize != count ||
      (bytes.size() - kHeaderSize - 4) % kEntrySize != 0) {
    return {};
  }
  cache.entries.resize(static_cast<std::size_t>(count));
  for (DigestEntry& entry : cache.entries) {
    entry.offset = Get(bytes, at, 8);
    entry.length = Get(bytes, at, 8);
    for (std::uint8_t& byte : entry.digest) byte = static_cast<std::uint8_t>(Get(bytes, at, 1));
  }
  return cache;
}

bool StampOfFile(const std::string& path, MessageFileStamp& stamp) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  stamp.size = static_cast<std::uint64_t>(status.st_size);
  stamp.inode = static_cast<std::uint64_t>(status.st_ino);
  stamp.changedSeconds = static_cast<std::int64_t>(status.st_ctim.tv_sec);
  stamp.changedNanoseconds = static_cast<std::uint32_t>(status.st_ctim.tv_nsec);
  return true;
}

bool ModifiedAfter(const std::string& path, const MessageFileStamp& stamp) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  const auto seconds = static_cast<std::int64_t>(status.st_mtim.tv_sec);
  return seconds > stamp.changedSeconds ||
         (seconds == stamp.changedSeconds &&
          static_cast<std::uint32_t>(status.st_mtim.tv_nsec) > stamp.changedNanoseconds);
}

}  // namespace qm
