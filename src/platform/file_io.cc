#include "platform/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace qm {

namespace {

using Injector = std::function<bool(FileOperation)>;

// The flag keeps the common case (no hook) to one atomic load; the hook itself is copied out
// under the mutex so that it can be replaced while another thread is calling it.
std::atomic<bool> injectorInstalled{false};
std::mutex injectorMutex;
std::shared_ptr<const Injector> installedInjector;

// Large writes go out in pieces of this size, so a failure can strike between two of them.
constexpr std::size_t kChunkSize = 64 * 1024;

bool Refused(FileOperation op) {
  if (!injectorInstalled.load(std::memory_order_acquire)) return false;
  std::shared_ptr<const Injector> injector;
  {
    std::lock_guard<std::mutex> lock(injectorMutex);
    injector = installedInjector;
  }
  if (injector && (*injector)(op)) {
    errno = EIO;
    return true;
  }
  return false;
}

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

// A symbolic link planted in the working directory must not redirect a read or a write of the
// user's mail or settings elsewhere: files are never opened through one (directories may be).
int OpenFile(const std::string& path, int flags, mode_t mode = 0) {
  if (Refused(FileOperation::Open)) return -1;
  if ((flags & O_DIRECTORY) == 0) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    if (Refused(FileOperation::Write)) return false;
    const ssize_t n = ::write(fd, bytes.data(), std::min(bytes.size(), kChunkSize));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool SyncFile(int fd) {
  if (Refused(FileOperation::Sync)) return false;
  return ::fsync(fd) == 0;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A rename or a new directory entry survives a crash only once the directory itself is synced.
bool SyncDirectoryOf(const std::string& path) {
  const int fd = OpenFile(DirectoryOf(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = SyncFile(fd);
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

}  // namespace

void SetFileFaultInjector(std::function<bool(FileOperation op)> injector) {
  std::shared_ptr<const Injector> replacement;
  if (injector) replacement = std::make_shared<const Injector>(std::move(injector));
  std::lock_guard<std::mutex> lock(injectorMutex);
  installedInjector = std::move(replacement);
  injectorInstalled.store(installedInjector != nullptr, std::memory_order_release);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool RemoveFile(const std::string& path, int* error) {
  if (Refused(FileOperation::Remove) || (::unlink(path.c_str()) != 0 && errno != ENOENT)) {
    SetError(error, errno);
    return false;
  }
  return true;
}

bool RenameFile(const std::string& from, const std::string& to, int* error) {
  if (Refused(FileOperation::Rename) || ::rename(from.c_str(), to.c_str()) != 0) {
    SetError(error, errno);
    return false;
  }
  return true;
}

bool ReadFileContent(const std::string& path, std::string& out, int* error) {
  out.clear();
  CFileReader reader;
  if (!reader.Open(path)) {
    SetError(error, reader.LastError());
    return false;
  }
  std::string chunk(kChunkSize, '\0');
  for (;;) {
    const std::int64_t n = reader.Read(chunk.data(), chunk.size());
    if (n < 0) {
      out.clear();
      SetError(error, reader.LastError());
      return false;
    }
    if (n == 0) return true;
    out.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

// --- CAtomicFileWriter ---

CAtomicFileWriter::~CAtomicFileWriter() { Abort(); }

bool CAtomicFileWriter::Fail(int error) {
  if (lastError_ == 0) lastError_ = error != 0 ? error : EIO;
  return false;
}

bool CAtomicFileWriter::Open(const std::string& path, const std::string& scratchPath) {
  Abort();
  lastError_ = 0;
  buffer_.clear();
  path_ = path;
  const std::string scratch = scratchPath.empty() ? path + ".new" : scratchPath;
  if (scratch == path || DirectoryOf(scratch) != DirectoryOf(path)) return Fail(EINVAL);

  // Settings hold passwords and mailboxes hold private mail: files are the user's alone, also
  // when a rewrite replaces one that others could read; a narrower choice of the user's stays.
  mode_t mode = 0600;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && (st.st_mode & 0600) != 0) mode = st.st_mode & 0600;

  int error = 0;
  if (!RemoveFile(scratch, &error)) return Fail(error);
  fd_ = OpenFile(scratch, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd_ < 0) return Fail(errno);
  scratchPath_ = scratch;
  // open() applied the umask; the old file's permissions win over it.
  (void)::fchmod(fd_, mode);
  return true;
}

bool CAtomicFileWriter::FlushBuffer() {
  if (buffer_.empty()) return true;
  if (!WriteAll(fd_, buffer_)) return Fail(errno);
  buffer_.clear();
  return true;
}

bool CAtomicFileWriter::Write(std::string_view bytes) {
  if (fd_ < 0) return Fail(EBADF);
  if (lastError_ != 0) return false;
  if (buffer_.size() + bytes.size() > kChunkSize && !FlushBuffer()) return false;
  if (bytes.size() >= kChunkSize) {
    if (!WriteAll(fd_, bytes)) return Fail(errno);
  } else {
    buffer_.append(bytes);
  }
  return true;
}

bool CAtomicFileWriter::Commit() {
  if (fd_ < 0) return Fail(EBADF);
  if (lastError_ != 0 || !FlushBuffer() || !SyncFile(fd_)) {
    Fail(errno);
    Abort();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    Fail(errno);
    Abort();
    return false;
  }
  int error = 0;
  if (!RenameFile(scratchPath_, path_, &error)) {
    Fail(error);
    Abort();
    return false;
  }
  scratchPath_.clear();
  // The new content is in place, which is what callers act on (an index that already describes
  // it must not be rolled back); a failed directory sync is only kept in LastError().
  if (!SyncDirectoryOf(path_)) Fail(errno);
  return true;
}

void CAtomicFileWriter::Abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!scratchPath_.empty()) {
    RemoveFile(scratchPath_);
    scratchPath_.clear();
  }
  buffer_.clear();
}

bool ReplaceFileContent(const std::string& path, std::string_view content, int* error) {
  CAtomicFileWriter writer;
  const bool done = writer.Open(path) && writer.Write(content) && writer.Commit();
  if (writer.LastError() != 0) SetError(error, writer.LastError());
  return done;
}

bool AppendToFile(const std::string& path, std::string_view bytes, int* error, bool* opened,
                  std::int64_t expectedSize, Durability durability) {
  bool created = false;
  if (opened) *opened = false;
  int fd = OpenFile(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = OpenFile(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    created = fd >= 0;
  }
  if (fd < 0) {
    SetError(error, errno);
    return false;
  }
  if (opened) *opened = true;
  struct stat st;
  const bool examined = ::fstat(fd, &st) == 0;
  if (!examined || (expectedSize >= 0 && st.st_size != expectedSize)) {
    SetError(error, examined ? ESPIPE : errno);
    ::close(fd);
    if (created) RemoveFile(path);
    return false;
  }
  if (WriteAll(fd, bytes) && (durability == Durability::Later || SyncFile(fd)) &&
      (!created || SyncDirectoryOf(path))) {
    // The bytes are written (and durable when asked); a late close error cannot take them back.
    ::close(fd);
    return true;
  }
  SetError(error, errno);
  if (created) {
    ::close(fd);
    RemoveFile(path);
    return false;
  }
  if (!Refused(FileOperation::Truncate) && ::ftruncate(fd, st.st_size) == 0) SyncFile(fd);
  ::close(fd);
  return false;
}

bool SyncFileAt(const std::string& path, int* error) {
  const int fd = OpenFile(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    SetError(error, errno);
    return false;
  }
  const bool synced = SyncFile(fd);
  if (!synced) SetError(error, errno);
  ::close(fd);
  return synced;
}

bool TruncateFile(const std::string& path, std::int64_t size, int* error) {
  const int fd = OpenFile(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    SetError(error, errno);
    return false;
  }
  struct stat st;
  bool done = ::fstat(fd, &st) == 0;
  if (done && (size < 0 || size > static_cast<std::int64_t>(st.st_size))) {
    errno = EINVAL;
    done = false;
  }
  done = done && !Refused(FileOperation::Truncate) &&
         ::ftruncate(fd, static_cast<off_t>(size)) == 0 && SyncFile(fd);
  if (!done) SetError(error, errno);
  ::close(fd);
  return done;
}

// --- CFileReader ---

CFileReader::~CFileReader() { Close(); }

CFileReader::CFileReader(CFileReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), lastError_(other.lastError_) {}

CFileReader& CFileReader::operator=(CFileReader&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    lastError_ = other.lastError_;
  }
  return *this;
}

bool CFileReader::Open(const std::string& path) {
  Close();
  lastError_ = 0;
  fd_ = OpenFile(path, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    lastError_ = errno;
    return false;
  }
  return true;
}

void CFileReader::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::int64_t CFileReader::Size() {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return -1;
  }
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    lastError_ = errno;
    return -1;
  }
  return static_cast<std::int64_t>(st.st_size);
}

bool CFileReader::ReadAt(std::int64_t offset, std::size_t length, std::string& out) {
  out.clear();
  if (fd_ < 0) {
    lastError_ = EBADF;
    return false;
  }
  if (offset < 0) {
    lastError_ = EINVAL;
    return false;
  }
  const std::int64_t size = Size();
  if (size < 0) return false;
  if (offset > size || length > static_cast<std::uint64_t>(size - offset)) {
    lastError_ = ENODATA;
    return false;
  }
  out.resize(length);
  std::size_t done = 0;
  while (done < length) {
    if (Refused(FileOperation::Read)) {
      lastError_ = errno;
      out.clear();
      return false;
    }
    const ssize_t n = ::pread(fd_, out.data() + done, length - done,
                              static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The file shrank under us, or the system refused: the caller gets nothing half-read.
      lastError_ = n == 0 ? ENODATA : errno;
      out.clear();
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::int64_t CFileReader::Read(char* buffer, std::size_t n) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return -1;
  }
  for (;;) {
    if (Refused(FileOperation::Read)) {
      lastError_ = errno;
      return -1;
    }
    const ssize_t got = ::read(fd_, buffer, n);
    if (got >= 0) return static_cast<std::int64_t>(got);
    if (errno != EINTR) {
      lastError_ = errno;
      return -1;
    }
  }
}

}  // namespace qm
