#include "platform/secret_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace qm {

namespace {

constexpr std::size_t kMaxOutputBytes = 64 * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Characters through which a shell would pipe, redirect, run in the background, substitute or
// group; here they would silently become parts of arguments.
bool AsksForShell(char c) {
  return std::string_view("|&;<>()$`").find(c) != std::string_view::npos;
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  int* Out() { return &fd_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Reads what is there; false at the end of the output or on an error.
bool Drain(int fd, std::string& kept) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      const std::size_t room = kMaxOutputBytes - std::min(kMaxOutputBytes, kept.size());
      kept.append(buffer, std::min(room, static_cast<std::size_t>(n)));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

std::string ExitProblem(int status) {
  if (WIFSIGNALED(status)) return "was ended by signal " + std::to_string(WTERMSIG(status));
  return "exited with status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

bool SplitCommandLine(std::string_view line, std::vector<std::string>& words,
                      std::string& problem) {
  words.clear();
  std::string word;
  bool inWord = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (IsBlank(c)) {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
      continue;
    }
    if (!inWord && (c == '~' || c == '#')) {
      problem = std::string("starts a word with ") + c +
                ", which only a shell understands; give the full path or quote it";
      return false;
    }
    inWord = true;
    if (c == '\\') {
      if (++i == line.size()) {
        problem = "ends with a backslash";
        return false;
      }
      // A backslash before a line end joins the lines.
      if (line[i] != '\n') word += line[i];
    } else if (c == '\'') {
      const std::size_t end = line.find('\'', i + 1);
      if (end == std::string_view::npos) {
        problem = "has a single quote that is not closed";
        return false;
      }
      word.append(line.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == line.size()) {
          problem = "has a double quote that is not closed";
          return false;
        }
        const char d = line[i];
        if (d == '"') break;
        if (d == '$' || d == '`') {
          problem =
              std::string("uses ") + d + ", which only a shell understands; put it in a script";
          return false;
        }
        if (d == '\\' && i + 1 < line.size() &&
            std::string_view("\"\\$`\n").find(line[i + 1]) != std::string_view::npos) {
          if (line[++i] != '\n') word += line[i];
        } else {
          word += d;
        }
      }
    } else if (AsksForShell(c)) {
      problem = std::string("uses ") + c + ", which only a shell understands; put it in a script";
      return false;
    } else {
      word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  if (words.empty()) {
    problem = "is empty";
    return false;
  }
  return true;
}

SecretCommandResult RunSecretCommand(std::string_view line, std::chrono::milliseconds timeout,
                                     const std::atomic<bool>* cancel) {
  SecretCommandResult result;
  std::vector<std::string> words;
  std::string problem;
  if (!SplitCommandLine(line, words, problem)) {
    result.problem = "cannot be run: its command line " + problem;
    return result;
  }
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  Fd outRead, outWrite, errRead, errWrite;
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    result.problem = std::string("could not be started ( ") + std::strerror(errno) + " )";
    return result;
  }
  *outRead.Out() = outPipe[0];
  *outWrite.Out() = outPipe[1];
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    result.problem = std::string("could not be started ( ") + std::strerror(errno) + " )";
    return result;
  }
  *errRead.Out() = errPipe[0];
  *errWrite.Out() = errPipe[1];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  // The program may ignore or catch these; the command starts as a command from a shell would.
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, signal);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  outWrite.Close();
  errWrite.Close();
  if (spawned != 0) {
    result.problem = std::string("could not be started ( ") + std::strerror(spawned) + " )";
    return result;
  }
  ::fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
  ::fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string out, err;
  bool outOpen = true, errOpen = true;
  int status = 0;
  bool exited = false;
  bool stopped = false;
  while (!exited) {
    if ((cancel != nullptr && cancel->load()) || Clock::now() >= deadline) {
      stopped = true;
      break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int slice = static_cast<int>(std::clamp<long long>(left, 1, 50));
    if (outOpen || errOpen) {
      pollfd fds[2] = {{outOpen ? outRead.Get() : -1, POLLIN, 0},
                       {errOpen ? errRead.Get() : -1, POLLIN, 0}};
      if (::poll(fds, 2, slice) > 0) {
        if (fds[0].revents != 0) outOpen = Drain(outRead.Get(), out);
        if (fds[1].revents != 0) errOpen = Drain(errRead.Get(), err);
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(slice, 10)));
    }
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped < 0) {
      // Someone else reaped it (SIGCHLD ignored): its status is lost, so it counts as failed.
      status = -1;
      exited = true;
    } else if (reaped == pid) {
      // What it wrote before it ended is in the pipes; a helper it left running may hold them
      // open, so they are read as far as they go now, not to their end.
      if (outOpen) Drain(outRead.Get(), out);
      if (errOpen) Drain(errRead.Get(), err);
      exited = true;
    }
  }
  if (stopped) {
    // Not reaped yet, so its process group cannot belong to anyone else.
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }

  result.errorOutput = Trimmed(std::string_view(err).substr(0, kMaxErrorBytes));
  if (stopped) {
    const auto ms = timeout.count();
    const std::string limit =
        ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds" : std::to_string(ms) + " ms";
    result.problem = cancel != nullptr && cancel->load()
                         ? "was stopped: the retrieval was cut off"
                         : "did not end within " + limit + " and was stopped";
    return result;
  }
  if (status == -1) {
    result.problem = "ended without an exit status to check";
    return result;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    result.problem = ExitProblem(status);
    return result;
  }
  std::string first = out.substr(0, out.find('\n'));
  if (!first.empty() && first.back() == '\r') first.pop_back();
  if (first.empty()) {
    result.problem = "printed nothing";
    return result;
  }
  result.secret = std::move(first);
  result.ok = true;
  return result;
}

}  // namespace qm
