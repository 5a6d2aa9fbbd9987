// The byte stream a POP3 session talks over. Production sessions use a TCP connection; tests put
// a scripted peer in its place, and a secure stream can take its place without the session
// noticing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket.h"

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
};

class CTcpStream : public IServerStream {
 public:
  ConnectResult Connect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds timeout, int* error) override {
    return connection.Connect(host, port, timeout, error);
  }
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout) override {
    return connection.Send(bytes, timeout);
  }
  std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds timeout) override {
    return connection.Receive(buffer, n, timeout);
  }
  void Shutdown() override { connection.Shutdown(); }
  void Close() override { connection.Close(); }
  bool IsOpen() const override { return connection.IsOpen(); }
  int LastError() const override { return connection.LastError(); }

 private:
  CTcpConnection connection;
};

}  // namespace qm
