#include "platform/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace qm {

CSingleInstance::~CSingleInstance() { Release(); }

bool CSingleInstance::Acquire(const std::string& directory) {
  Release();
  lastError_ = 0;
  const std::string path = (directory.empty() ? std::string(".") : directory) + "/" + kLockFileName;
  // Close-on-exec: a program started from here must not inherit the lock and keep the
  // directory blocked after this process is gone.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    lastError_ = errno;
    return false;
  }
  // flock rather than fcntl locks: those belong to the process and vanish when any descriptor
  // of the file is closed, and they do not keep out a second guard in the same process.
  int result;
  do {
    result = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    lastError_ = errno;
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void CSingleInstance::Release() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
}

}  // namespace qm
