// The file layer the mail store and the settings write through.
//
// Nothing here ever rewrites a file in place: a rewrite goes to a scratch file beside the target,
// which is made durable and then renamed over it, so a crash at any moment leaves either the
// complete old file or the complete new one. Appends are undone when they fail part-way.
//
// Every failing call returns false and leaves the errno value of the refused operation where the
// caller asked for it; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace qm {

// The operations a fault injector can refuse.
enum class FileOperation { Open, Read, Write, Sync, Rename, Remove, Truncate };

// Installs a process-wide hook consulted before each operation above that this layer performs;
// when it returns true the operation fails with EIO as if the system had refused it. nullptr
// removes the hook. Meant for tests; may be called while other threads do file work.
void SetFileFaultInjector(std::function<bool(FileOperation op)> injector);

// True when something exists at `path` (a file, a directory, ...).
bool FileExists(const std::string& path);

// Size in bytes of the file at `path`; -1 when it does not exist or cannot be examined.
std::int64_t FileSize(const std::string& path);

// A file that is already missing counts as removed.
bool RemoveFile(const std::string& path, int* error = nullptr);

// Atomic: `to` names either its old file or `from`'s, never nothing.
bool RenameFile(const std::string& from, const std::string& to, int* error = nullptr);

// The whole content of a file. A missing file fails with ENOENT, so callers can tell "nothing
// there yet" from "cannot read what is there".
bool ReadFileContent(const std::string& path, std::string& out, int* error = nullptr);

// Writes a complete new version of a file. The target keeps its old content, readable by
// anyone, until Commit renames the finished scratch file over it. A new file is private to the
// user (mode 0600); a rewritten one keeps its permissions.
class CAtomicFileWriter {
 public:
  CAtomicFileWriter() = default;
  ~CAtomicFileWriter();
  CAtomicFileWriter(const CAtomicFileWriter&) = delete;
  CAtomicFileWriter& operator=(const CAtomicFileWriter&) = delete;

  // Starts a new version of `path` in `scratchPath` (default: `path` + ".new"), which must lie
  // in the same directory. A scratch file left behind by an earlier crash is replaced.
  bool Open(const std::string& path, const std::string& scratchPath = {});
  bool IsOpen() const { return fd_ >= 0; }

  // Buffered; after a failure every later Write and Commit fails too.
  bool Write(std::string_view bytes);

  // Writes out what is buffered, makes the scratch file durable, renames it over the target
  // and makes the rename durable. True when the target holds the new content: a failure of the
  // last step (the directory sync) still returns true and shows only in LastError(). On false
  // the target holds its old content; the scratch file is gone either way.
  bool Commit();

  // Drops the new version; the target is untouched. The destructor aborts an uncommitted one.
  void Abort();

  // errno of the first failure since Open.
  int LastError() const { return lastError_; }

 private:
  bool Fail(int error);
  bool FlushBuffer();

  int fd_ = -1;
  std::string path_;
  std::string scratchPath_;
  std::string buffer_;
  int lastError_ = 0;
};

// Rewrites a small file (marks, settings, lists) through CAtomicFileWriter; true when the new
// content is in place (`error` may still tell of a failed directory sync).
bool ReplaceFileContent(const std::string& path, std::string_view content, int* error = nullptr);

// Whether a write is on disk before the call returns, or only once SyncFileAt is called.
enum class Durability { Now, Later };

// Adds `bytes` at the end of the file, creating it (mode 0600) when missing and never
// truncating it, and makes them durable (with `Durability::Later` only a new file's name is). When
// a step fails part-way the file is cut back to its old size (or removed again when this call
// created it), so it is exactly as it was. `opened` (when given) tells a file that could not be
// opened from one that failed later. With `expectedSize` (0 or more) a file of any other size is
// left alone and the call fails with ESPIPE: the caller's idea of where the bytes go is wrong.
bool AppendToFile(const std::string& path, std::string_view bytes, int* error = nullptr,
                  bool* opened = nullptr, std::int64_t expectedSize = -1,
                  Durability durability = Durability::Now);

// Makes what was written to the file durable; a missing file has nothing to sync.
bool SyncFileAt(const std::string& path, int* error = nullptr);

// Cuts the file down to `size` bytes and makes that durable. Growing a file this way would pad
// it with NUL bytes, which no caller wants: a size beyond the end fails with EINVAL.
bool TruncateFile(const std::string& path, std::int64_t size, int* error = nullptr);

// Reading of a file, at given offsets or as a stream.
class CFileReader {
 public:
  CFileReader() = default;
  ~CFileReader();
  CFileReader(CFileReader&& other) noexcept;
  CFileReader& operator=(CFileReader&& other) noexcept;
  CFileReader(const CFileReader&) = delete;
  CFileReader& operator=(const CFileReader&) = delete;

  bool Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // Current size of the open file; -1 on failure.
  std::int64_t Size();

  // Exactly `length` bytes from `offset` into `out`. A range that reaches past the end of the
  // file fails with ENODATA before anything is allocated, so a corrupt offset or length read
  // from an index cannot exhaust memory; `out` is empty after any failure.
  bool ReadAt(std::int64_t offset, std::size_t length, std::string& out);

  // Sequential reading from the current position: the number of bytes read, 0 at the end of
  // the file, -1 on failure.
  std::int64_t Read(char* buffer, std::size_t n);

  int LastError() const { return lastError_; }

 private:
  int fd_ = -1;
  int lastError_ = 0;
};

}  // namespace qm
