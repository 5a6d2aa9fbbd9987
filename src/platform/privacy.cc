#include "platform/privacy.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <optional>

namespace qm {

void KeepProcessPrivate() {
  ::umask(077);
  const rlimit noCore{0, 0};
  (void)::setrlimit(RLIMIT_CORE, &noCore);
  (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

DirectoryTrust CheckDirectoryTrust(const std::string& path, int* error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (error != nullptr) *error = errno;
    return errno == ENOENT ? DirectoryTrust::Missing : DirectoryTrust::Unreadable;
  }
  if (!S_ISDIR(st.st_mode)) return DirectoryTrust::NotADirectory;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return DirectoryTrust::OtherOwner;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return DirectoryTrust::WritableByOthers;
  return DirectoryTrust::Private;
}

std::string CreatePrivateTemporaryDirectory(const std::string& parent, const std::string& prefix,
                                            int* error) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  // mkdtemp creates it 0700 whatever the umask.
  if (::mkdtemp(pattern.data()) == nullptr) {
    if (error != nullptr) *error = errno;
    return {};
  }
  return pattern;
}

bool CreatePrivateDirectories(const std::string& path, int* error) {
  std::string::size_type end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      if (error != nullptr) *error = errno;
      return false;
    }
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (error != nullptr) *error = errno;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    if (error != nullptr) *error = ENOTDIR;
    return false;
  }
  return true;
}

namespace {

// Puts the terminal's echo back however the read ends.
class EchoOff {
 public:
  EchoOff() {
    if (::tcgetattr(STDIN_FILENO, &saved) != 0) return;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    active = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active) (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  termios saved{};
  bool active = false;
};

}  // namespace

bool ReadSecretLine(const std::string& prompt, std::string& line) {
  line.clear();
  const bool terminal = ::isatty(STDIN_FILENO) == 1;
  if (terminal) {
    std::cerr << prompt << std::flush;
  }
  bool got = false;
  {
    std::optional<EchoOff> quiet;
    if (terminal) quiet.emplace();
    got = static_cast<bool>(std::getline(std::cin, line));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return got;
}

}  // namespace qm
