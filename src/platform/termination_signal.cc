#include "platform/termination_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace qm {

bool CTerminationSignal::Start(std::function<void()> onSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  const int signalFd = signalfd(-1, &set, SFD_CLOEXEC);
  int pipeFds[2];
  if (signalFd < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
    if (signalFd >= 0) close(signalFd);
    return false;
  }
  wakeFd = pipeFds[1];
  watcher = std::thread([signalFd, stopFd = pipeFds[0], handler = std::move(onSignal)] {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (poll(fds, 2, -1) >= 0 || errno == EINTR) {
      if (fds[1].revents != 0) break;
      if (fds[0].revents & POLLIN) {
        signalfd_siginfo info;
        if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) handler();
      }
    }
    close(signalFd);
    close(stopFd);
  });
  return true;
}

CTerminationSignal::~CTerminationSignal() {
  if (wakeFd >= 0) {
    const char stop = 0;
    [[maybe_unused]] const ssize_t written = write(wakeFd, &stop, 1);
    close(wakeFd);
  }
  if (watcher.joinable()) watcher.join();
}

}  // namespace qm
