// The byte stream a POP3 session talks over: TCP, optionally inside TLS. Tests put a scripted
// peer in its place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"
#include "store/server_lists.h"

namespace qm {

class IServerStream {
 public:
  virtual ~IServerStream() = default;
  // As CTcpConnection: connects (closing what was open), sends all bytes, receives what arrived
  // (count, 0 closed, CTcpConnection::kReceiveFailed or kReceiveTimedOut).
  virtual ConnectResult Connect(const std::string& host, std::uint16_t port,
                                std::chrono::milliseconds timeout, int* error) = 0;
  virtual bool Send(std::string_view bytes, std::chrono::milliseconds timeout) = 0;
  virtual std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds timeout) = 0;
  // The one call another thread may make: the owner's blocked call returns at once.
  virtual void Shutdown() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  // errno of the last failure.
  virtual int LastError() const = 0;

  // How the next Connect protects the connection: with Tls the handshake is part of it.
  virtual void SetSecurity(ConnectionSecurity mode, const std::string& caFile) {
    (void)mode;
    (void)caFile;
  }
  // Turns the open plain connection into a TLS one (STLS). A stream that cannot fails.
  virtual bool StartTls(std::chrono::milliseconds timeout) {
    (void)timeout;
    return false;
  }
  // Why the last handshake failed, in OpenSSL's words; empty when none failed.
  virtual std::string SecurityError() const { return "secure connections are not available"; }
};

}  // namespace qm
