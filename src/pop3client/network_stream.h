// The production stream: a TCP connection, with TLS over it when the account asks for it.
//
// TLS runs over memory buffers instead of the socket itself, so that every wait still goes
// through the TCP connection with its time-outs, and Shutdown from another thread still frees a
// thread waiting in the middle of a handshake.
#pragma once

#include <memory>
#include <string>

#include "pop3client/server_stream.h"

namespace qm {

class CNetworkStream : public IServerStream {
 public:
  CNetworkStream();
  ~CNetworkStream() override;

  ConnectResult Connect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds timeout, int* error) override;
  bool Send(std::string_view bytes, std::chrono::milliseconds timeout) override;
  std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds timeout) override;
  void Shutdown() override { tcp.Shutdown(); }
  void Close() override;
  bool IsOpen() const override { return tcp.IsOpen(); }
  int LastError() const override { return lastError; }

  void SetSecurity(ConnectionSecurity mode, const std::string& caFile) override;
  bool StartTls(std::chrono::milliseconds timeout) override;
  std::string SecurityError() const override { return securityError; }

 private:
  struct Tls;
  // Certificates verified against the trusted ones and the host name; false with
  // securityError set.
  bool Handshake(std::chrono::milliseconds timeout);
  // Sends what TLS has written; false when the connection failed.
  bool FlushOutput(std::chrono::milliseconds timeout);
  // Hands TLS what arrived: as CTcpConnection::Receive.
  std::int64_t FillInput(std::chrono::milliseconds timeout);
  void EndTls();

  CTcpConnection tcp;
  ConnectionSecurity mode = ConnectionSecurity::Plain;
  std::string trustedFile;
  std::string host;
  std::unique_ptr<Tls> tls;
  std::string securityError;
  int lastError = 0;
};

}  // namespace qm
