// Keeps a second copy of the program from working in the same working directory: two copies
// would fetch the same mail and rewrite the same mailbox files behind each other's backs.
#pragma once

#include <string>

namespace qm {

// The guard is an advisory lock on the file "qm_mailfilter.lock" in the directory. The system
// drops it when the process ends in any way, so a crash never leaves a stale lock behind; the
// file itself stays, since removing it would let two processes lock two different files.
class CSingleInstance {
 public:
  CSingleInstance() = default;
  ~CSingleInstance();
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;

  // False when another holder (another process, or another guard in this one) has the
  // directory, or when the lock file cannot be opened; LastError() tells which (EWOULDBLOCK
  // for the former).
  bool Acquire(const std::string& directory);
  void Release();
  bool IsHeld() const { return fd_ >= 0; }
  int LastError() const { return lastError_; }

  static constexpr const char* kLockFileName = "qm_mailfilter.lock";

 private:
  int fd_ = -1;
  int lastError_ = 0;
};

}  // namespace qm
