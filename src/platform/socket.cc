#include "platform/socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

namespace qm {

namespace {

using Clock = std::chrono::steady_clock;

// Waits measured against a deadline, so that a wait interrupted by a signal and resumed
// does not start its time-out afresh.
class CDeadline {
 public:
  explicit CDeadline(std::chrono::milliseconds timeout)
      : unlimited_(timeout < std::chrono::milliseconds::zero()),
        end_(unlimited_ ? Clock::time_point{} : Clock::now() + Bounded(timeout)) {}

  // What poll takes: -1 for no limit, otherwise the milliseconds left, rounded up so that a
  // wait never ends a little before the deadline and turns into a busy loop.
  int PollTimeout() const {
    if (unlimited_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) return 0;
    return static_cast<int>(std::min<std::chrono::milliseconds::rep>(left.count(), INT_MAX));
  }

 private:
  // A caller's "very long" must not overflow the clock.
  static std::chrono::milliseconds Bounded(std::chrono::milliseconds timeout) {
    constexpr std::chrono::milliseconds kLongest = std::chrono::hours(24 * 365 * 100);
    return std::min(timeout, kLongest);
  }

  bool unlimited_;
  Clock::time_point end_;
};

// poll on one descriptor: the returned events, 0 when the deadline passed, -1 on failure
// (errno set).
int WaitFor(int fd, short events, const CDeadline& deadline) {
  for (;;) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = events;
    const int result = ::poll(&entry, 1, deadline.PollTimeout());
    if (result > 0) {
      if ((entry.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
      }
      return entry.revents;
    }
    if (result == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void SetError(int* error, int value) {
  if (error != nullptr) *error = value;
}

void CloseDescriptor(int fd) {
  // Not retried on EINTR: Linux has released the descriptor either way, and a second close
  // could hit a descriptor another thread has just opened.
  if (fd >= 0) ::close(fd);
}

NetAddress AddressOf(const sockaddr* address) {
  NetAddress result;
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    result.isIPv4 = true;
    std::memcpy(result.ipv4.data(), &v4->sin_addr.s_addr, 4);
    if (::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr) result.text = text;
  } else if (address->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
    // An IPv4 peer reached over an IPv6 socket is still an IPv4 peer to the blocklist checks.
    if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
      result.isIPv4 = true;
      std::memcpy(result.ipv4.data(), &v6->sin6_addr.s6_addr[12], 4);
      if (::inet_ntop(AF_INET, result.ipv4.data(), text, sizeof text) != nullptr) {
        result.text = text;
      }
    } else if (::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text) != nullptr) {
      result.text = text;
    }
  }
  return result;
}

// Errors that accept reports for a connection which failed while it waited in the queue
// (accept(2), "Error handling"); the listener itself is fine.
bool IsDroppedConnection(int error) {
  switch (error) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EINTR:
      return true;
    default:
      return false;
  }
}

// The interface to listen on: empty for all of them, "localhost" (without a look-up, which
// could be slow or answer something odd), or a numeric IPv4 address in dotted form.
bool ParseBindAddress(const std::string& text, in_addr& out) {
  if (text.find('\0') != std::string::npos) return false;
  if (text.empty()) {
    out.s_addr = htonl(INADDR_ANY);
    return true;
  }
  if (::strcasecmp(text.c_str(), "localhost") == 0) {
    out.s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  return ::inet_pton(AF_INET, text.c_str(), &out) == 1;
}

// One non-blocking connect attempt: 0 when connected, otherwise the errno value (ETIMEDOUT
// when the deadline passed first). The new descriptor goes to `fd`, or is closed.
int ConnectTo(const addrinfo& address, const CDeadline& deadline, int& fd) {
  fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                address.ai_protocol);
  if (fd < 0) return errno;
  int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
  // An interrupted connect goes on in the background just like one in progress.
  if (result != 0 && errno != EINPROGRESS && errno != EINTR) {
    const int failure = errno;
    CloseDescriptor(fd);
    fd = -1;
    return failure;
  }
  if (result != 0) {
    const int events = WaitFor(fd, POLLOUT, deadline);
    int failure = 0;
    if (events < 0) {
      failure = errno;
    } else if (events == 0) {
      failure = ETIMEDOUT;
    } else {
      socklen_t length = sizeof failure;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
    }
    if (failure != 0) {
      CloseDescriptor(fd);
      fd = -1;
      return failure;
    }
  }
  return 0;
}

}  // namespace

namespace {

// A socket of `type` bound to 127.0.0.1:`port`; -1 with errno set when that failed.
int BindLoopback(int type, std::uint16_t port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

std::uint16_t FreeLoopbackPort() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    const int tcp = BindLoopback(SOCK_STREAM, 0);
    if (tcp < 0) return 0;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    const bool named = ::getsockname(tcp, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
    ::close(tcp);
    if (!named) return 0;
    const std::uint16_t port = ntohs(bound.sin_port);
    const int udp = BindLoopback(SOCK_DGRAM, port);
    if (udp >= 0) {
      ::close(udp);
      return port;
    }
  }
  return 0;
}

bool LoopbackUdpPortInUse(std::uint16_t port) {
  const int udp = BindLoopback(SOCK_DGRAM, port);
  if (udp < 0) return errno == EADDRINUSE;
  ::close(udp);
  return false;
}

std::string LookupErrorText(int code) { return ::gai_strerror(code); }

CTcpConnection::~CTcpConnection() { Close(); }

CTcpConnection::CTcpConnection(CTcpConnection&& other) noexcept {
  std::lock_guard<std::mutex> lock(other.mutex_);
  fd_ = std::exchange(other.fd_, -1);
  peer_ = std::move(other.peer_);
  other.peer_ = {};
  lastError_ = other.lastError_;
}

CTcpConnection& CTcpConnection::operator=(CTcpConnection&& other) noexcept {
  if (this == &other) return *this;
  Close();
  std::scoped_lock lock(mutex_, other.mutex_);
  fd_ = std::exchange(other.fd_, -1);
  peer_ = std::move(other.peer_);
  other.peer_ = {};
  lastError_ = other.lastError_;
  return *this;
}

void CTcpConnection::Adopt(int fd, NetAddress peer) {
  Close();
  std::lock_guard<std::mutex> lock(mutex_);
  fd_ = fd;
  peer_ = std::move(peer);
  lastError_ = 0;
}

bool CTcpConnection::Fail(int error) {
  lastError_ = error;
  return false;
}

ConnectResult CTcpConnection::Connect(const std::string& host, std::uint16_t port,
                                      std::chrono::milliseconds timeout, int* error) {
  Close();
  lastError_ = 0;
  if (host.empty() || host.find('\0') != std::string::npos) {
    lastError_ = EINVAL;
    SetError(error, EINVAL);
    return ConnectResult::Failed;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  const std::string service = std::to_string(port);
  const int lookup = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
  if (lookup == EAI_SYSTEM) {
    lastError_ = errno;
    SetError(error, lastError_);
    return ConnectResult::Failed;
  }
  if (lookup != 0) {
    lastError_ = EHOSTUNREACH;
    SetError(error, lookup);
    return ConnectResult::HostNotFound;
  }

  const CDeadline deadline(timeout);
  int failure = EHOSTUNREACH;
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    int fd = -1;
    failure = ConnectTo(*address, deadline, fd);
    if (failure == 0) {
      Adopt(fd, AddressOf(address->ai_addr));
      break;
    }
    if (failure == ETIMEDOUT) break;
  }
  ::freeaddrinfo(addresses);
  if (failure == 0) return ConnectResult::Connected;
  lastError_ = failure;
  SetError(error, failure);
  return failure == ETIMEDOUT ? ConnectResult::TimedOut : ConnectResult::Failed;
}

bool CTcpConnection::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  if (fd_ < 0) return Fail(EBADF);
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
    // The deadline starts anew after every bit of progress: the time-out is for a peer that
    // stopped reading, not for one that reads slowly.
    const int events = WaitFor(fd_, POLLOUT, CDeadline(timeout));
    if (events < 0) return Fail(errno);
    if (events == 0) return Fail(ETIMEDOUT);
  }
  return true;
}

std::int64_t CTcpConnection::Receive(char* buffer, std::size_t n,
                                     std::chrono::milliseconds timeout) {
  if (fd_ < 0) {
    lastError_ = EBADF;
    return kReceiveFailed;
  }
  // A zero-length read would return 0, which means a closed peer.
  if (buffer == nullptr || n == 0) {
    lastError_ = EINVAL;
    return kReceiveFailed;
  }
  const CDeadline deadline(timeout);
  for (;;) {
    const ssize_t received = ::recv(fd_, buffer, n, MSG_DONTWAIT);
    if (received >= 0) return received;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      lastError_ = errno;
      return kReceiveFailed;
    }
    const int events = WaitFor(fd_, POLLIN, deadline);
    if (events < 0) {
      lastError_ = errno;
      return kReceiveFailed;
    }
    if (events == 0) {
      lastError_ = ETIMEDOUT;
      return kReceiveTimedOut;
    }
  }
}

void CTcpConnection::Shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void CTcpConnection::Close() {
  int fd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fd = std::exchange(fd_, -1);
    peer_ = {};
  }
  CloseDescriptor(fd);
}

void CTcpConnection::ShutdownAndClose() {
  if (fd_ < 0) return;
  ::shutdown(fd_, SHUT_WR);
  // Bounded, so that a peer that keeps sending cannot hold the closing thread.
  constexpr std::size_t kMostDiscarded = 1024 * 1024;
  char discard[4096];
  for (std::size_t total = 0; total < kMostDiscarded;) {
    const ssize_t received = ::recv(fd_, discard, sizeof discard, MSG_DONTWAIT);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) break;
    total += static_cast<std::size_t>(received);
  }
  Close();
}

CTcpListener::~CTcpListener() { Close(); }

CTcpListener::CTcpListener(CTcpListener&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(std::exchange(other.port_, 0)) {}

CTcpListener& CTcpListener::operator=(CTcpListener&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    port_ = std::exchange(other.port_, 0);
  }
  return *this;
}

bool CTcpListener::IsLoopback(const std::string& bindAddress) {
  in_addr address{};
  return !bindAddress.empty() && ParseBindAddress(bindAddress, address) &&
         (ntohl(address.s_addr) >> 24) == 127;
}

ListenResult CTcpListener::Listen(const std::string& bindAddress, std::uint16_t port, int backlog,
                                  int* error) {
  Close();
  if (backlog < 1) {
    SetError(error, EINVAL);
    return ListenResult::BadArgument;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!ParseBindAddress(bindAddress, address.sin_addr)) {
    SetError(error, EINVAL);
    return ListenResult::BadArgument;
  }

  // Non-blocking, so that an accept after poll cannot hang on a connection the peer dropped
  // in between.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, errno);
    return ListenResult::SocketFailed;
  }
  // Without it a restart would find the port blocked for minutes by the old process's
  // connections in TIME_WAIT.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    SetError(error, errno);
    CloseDescriptor(fd);
    return ListenResult::BindFailed;
  }
  if (::listen(fd, backlog) != 0) {
    SetError(error, errno);
    CloseDescriptor(fd);
    return ListenResult::ListenFailed;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    SetError(error, errno);
    CloseDescriptor(fd);
    return ListenResult::ListenFailed;
  }
  fd_ = fd;
  port_ = ntohs(bound.sin_port);
  return ListenResult::Listening;
}

AcceptResult CTcpListener::Accept(CTcpConnection& out, std::chrono::milliseconds timeout,
                                  int* error) {
  if (fd_ < 0) {
    SetError(error, EBADF);
    return AcceptResult::Failed;
  }
  const CDeadline deadline(timeout);
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      out.Adopt(fd, AddressOf(reinterpret_cast<const sockaddr*>(&peer)));
      return AcceptResult::Accepted;
    }
    if (!IsDroppedConnection(errno)) {
      SetError(error, errno);
      return AcceptResult::Failed;
    }
    const int events = WaitFor(fd_, POLLIN, deadline);
    if (events < 0) {
      SetError(error, errno);
      return AcceptResult::Failed;
    }
    if (events == 0) {
      SetError(error, ETIMEDOUT);
      return AcceptResult::TimedOut;
    }
  }
}

void CTcpListener::Close() {
  CloseDescriptor(std::exchange(fd_, -1));
  port_ = 0;
}

}  // namespace qm
