// TCP sockets: the listening side of the local POP3 server and the connections that both the
// server and the POP3 client talk over.
//
// Calls block their thread, but every wait can have a time-out, so a thread that serves or
// fetches mail can notice a stop request between two waits. Failures come back as result codes with
// the errno value of the refused call; nothing throws, and writing to a peer that has gone away is
// an error result, never a SIGPIPE.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace qm {

// Pass as a time-out (any negative one will do) to wait as long as it takes.
inline constexpr std::chrono::milliseconds kNoTimeout{-1};

// The address of the other end of a connection.
struct NetAddress {
  bool isIPv4 = false;
  // First byte first: 127.0.0.1 is {127, 0, 0, 1}. All zero for an IPv6 peer.
  std::array<std::uint8_t, 4> ipv4{};
  // "127.0.0.1" or "2001:db8::1"; empty while nothing is connected.
  std::string text;
};

enum class ConnectResult {
  Connected,
  // `error` holds a getaddrinfo code, which LookupErrorText turns into words; LastError() is
  // EHOSTUNREACH.
  HostNotFound,
  TimedOut,
  // `error` holds the errno value, from the last address tried when the host has several.
  Failed,
};

// A readable description of a getaddrinfo code from ConnectResult::HostNotFound.
std::string LookupErrorText(int code);

// A port of 127.0.0.1 that the system picked as free and on which no UDP socket is bound either
// (for a server that listens on both, such as a DNS server); 0 when none was found.
std::uint16_t FreeLoopbackPort();
// Whether a UDP socket is bound to `port` of 127.0.0.1, that is, binding one there fails.
bool LoopbackUdpPortInUse(std::uint16_t port);

// One TCP connection, closed when the object goes away.
class CTcpConnection {
 public:
  // Receive results besides a byte count.
  static constexpr std::int64_t kReceiveFailed = -1;
  static constexpr std::int64_t kReceiveTimedOut = -2;

  CTcpConnection() = default;
  ~CTcpConnection();
  CTcpConnection(CTcpConnection&& other) noexcept;
  CTcpConnection& operator=(CTcpConnection&& other) noexcept;
  CTcpConnection(const CTcpConnection&) = delete;
  CTcpConnection& operator=(const CTcpConnection&) = delete;

  // Looks `host` up (a name, or a numeric IPv4 or IPv6 address) and tries its addresses in
  // turn until one accepts. `timeout` bounds the connecting of all of them together; the
  // look-up itself waits as long as the system resolver does. An open connection is closed
  // first. An empty host fails with EINVAL.
  ConnectResult Connect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds timeout, int* error = nullptr);

  // Sends all of `bytes`. `timeout` is how long the peer may go without taking any of them, so
  // a large send to a slow but reading peer still completes. False on failure (EPIPE or
  // ECONNRESET when the peer has gone, ETIMEDOUT) with LastError() telling why; how much of
  // `bytes` went out is then unknown, so the connection is fit only for closing.
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout = kNoTimeout);

  // Reads what has arrived, at most `n` bytes, waiting up to `timeout` for the first one:
  // the byte count, 0 when the peer has closed its side, kReceiveFailed (LastError() tells
  // why) or kReceiveTimedOut. A time-out leaves the connection usable.
  std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds timeout);

  // Ends both directions without releasing the socket. The one call here that another thread
  // may make while the owner is inside Receive or Send: the owner's call then returns (0 or
  // kReceiveFailed; false), which is how a stopping program frees a thread waiting for a peer.
  void Shutdown();

  // Closes at once. Data the peer sent that was never read makes the system reset the
  // connection, which can destroy replies still on their way to the peer; ShutdownAndClose
  // avoids that.
  void Close();

  // Sends the end of the stream after everything sent so far, discards what the peer sent
  // that was not read (a client may send commands after its last one), then closes: the peer
  // gets every byte and then a clean end instead of a reset.
  void ShutdownAndClose();

  bool IsOpen() const { return fd_ >= 0; }
  const NetAddress& PeerAddress() const { return peer_; }
  // errno of the last failure.
  int LastError() const { return lastError_; }

 private:
  friend class CTcpListener;
  void Adopt(int fd, NetAddress peer);
  bool Fail(int error);

  // The owner's thread changes fd_ only under mutex_, and Shutdown uses it only under
  // mutex_, so Shutdown can never hit a descriptor number that Close has freed for reuse.
  mutable std::mutex mutex_;
  int fd_ = -1;
  NetAddress peer_;
  int lastError_ = 0;
};

enum class ListenResult {
  Listening,
  // The bind address is neither empty, "localhost" nor a numeric IPv4 address, or the backlog
  // is below 1; `error` is EINVAL.
  BadArgument,
  SocketFailed,
  BindFailed,
  ListenFailed,
};

enum class AcceptResult { Accepted, TimedOut, Failed };

// A listening IPv4 socket, closed when the object goes away. Used from one thread.
class CTcpListener {
 public:
  CTcpListener() = default;
  ~CTcpListener();
  CTcpListener(CTcpListener&& other) noexcept;
  CTcpListener& operator=(CTcpListener&& other) noexcept;
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;

  // Listens on `port` (0: any free port, see Port()) of the interface with `bindAddress`:
  // a numeric IPv4 address, "localhost" (never looked up), or empty for all interfaces. The
  // port may be taken over from connections still winding down after a restart, but not from
  // a socket listening on it (BindFailed with EADDRINUSE). A listening socket is closed first.
  ListenResult Listen(const std::string& bindAddress, std::uint16_t port, int backlog,
                      int* error = nullptr);

  // The port listened on; 0 when not listening.
  std::uint16_t Port() const { return port_; }

  // Whether `bindAddress` (as Listen takes it) keeps the socket to this machine: an address of
  // 127.0.0.0/8 or "localhost". Empty (every interface) and unreadable addresses do not.
  static bool IsLoopback(const std::string& bindAddress);

  // Waits up to `timeout` for a connection and hands it to `out` (closing what `out` held).
  // A connection that the peer dropped before it was taken is skipped, and the wait goes on.
  AcceptResult Accept(CTcpConnection& out, std::chrono::milliseconds timeout, int* error = nullptr);

  void Close();
  bool IsListening() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace qm
