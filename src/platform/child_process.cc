#include "platform/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace qm {

namespace {

bool Executable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::string& name, const std::vector<std::string>& moreDirectories) {
  std::vector<std::string> directories;
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    std::string::size_type start = 0;
    while (start <= list.size()) {
      const auto end = list.find(':', start);
      const std::string entry =
          list.substr(start, end == std::string::npos ? std::string::npos : end - start);
      // An empty entry means the current directory, which is no place to run helpers from.
      if (!entry.empty() && entry[0] == '/') directories.push_back(entry);
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  directories.insert(directories.end(), moreDirectories.begin(), moreDirectories.end());
  for (const std::string& directory : directories) {
    const std::string candidate = directory + "/" + name;
    if (Executable(candidate)) return candidate;
  }
  return {};
}

std::string CurrentUserName() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(static_cast<std::size_t>(size > 0 ? size : 16384));
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return {};
  }
  return found->pw_name;
}

CChildProcess::~CChildProcess() { Stop(); }

bool CChildProcess::Start(const std::vector<std::string>& arguments, const std::string& outputPath,
                          int* error) {
  auto fail = [error](int code) {
    if (error != nullptr) *error = code;
    return false;
  };
  if (pid > 0 || arguments.empty()) return fail(EINVAL);
  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (input < 0) return fail(errno);
  const int output =
      ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (output < 0) {
    const int code = errno;
    ::close(input);
    return fail(code);
  }
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the line above took effect.
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) ::signal(signal, SIG_DFL);
    if (::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  const int code = errno;
  ::close(input);
  ::close(output);
  if (child < 0) return fail(code);
  pid = child;
  return true;
}

bool CChildProcess::Running() {
  if (pid <= 0) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid, &status, WNOHANG);
  if (done == 0) return true;
  if (done == pid || errno == ECHILD) pid = -1;
  return pid > 0;
}

void CChildProcess::Stop(int graceMs) {
  if (!Running()) return;
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      int status = 0;
      ::waitpid(pid, &status, 0);
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace qm
