// The program's log file. Lines gather in memory from any thread and reach the disk only when the
// application flushes them in its idle step and at shutdown, so that reporting does no file I/O
// of its own.
//
// The file is `qm_mailfilter.log` in the log's directory; once it has grown past 512 KiB it
// becomes `qm_mailfilter.old.log` at the next flush, replacing the previous old log.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace qm {

class CLog {
 public:
  // Seconds since 1970.
  using Clock = std::function<std::int64_t()>;

  static constexpr const char* kFileName = "qm_mailfilter.log";
  static constexpr const char* kOldFileName = "qm_mailfilter.old.log";
  // A log of exactly this many bytes is still appended to.
  static constexpr std::uintmax_t kRotateAbove = 524288;

  // An empty directory means the current directory at the time of each flush; an empty clock
  // means the system clock.
  explicit CLog(std::filesystem::path logDirectory = {}, Clock logClock = {});
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;

  // Adds "YYYY Mon DD HH:MM:SS<TAB>text<CR><LF>", stamped with the local time. Callable from any
  // thread; lines keep the order in which the calls took the lock.
  void Log(std::string_view text);

  // Appends the gathered lines to the file. False when they could not be written: they are then
  // kept for the next flush, and none of them is left in the file. True when there was nothing to
  // write, in which case no file is touched.
  bool FlushLog();

 private:
  bool WriteBuffer();

  const std::filesystem::path directory;
  const Clock clock;
  std::mutex logLock;
  std::string buffer;
};

}  // namespace qm
