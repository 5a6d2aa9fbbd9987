// The connection of a POP3 session to its server, with the receive buffer that the reply readers
// consume: at most 65535 bytes per receive.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pop3client/server_stream.h"

namespace qm {

class CClientSocket {
 public:
  static constexpr std::size_t kBufferSize = 65536;
  // How long connecting and each wait for the server may take unless SetTimeout says otherwise.
  static constexpr std::chrono::seconds kDefaultTimeout{60};

  // Over `stream`, or over the network (TCP, TLS when asked for) when it is null.
  explicit CClientSocket(std::unique_ptr<IServerStream> stream = nullptr);
  virtual ~CClientSocket();
  CClientSocket(const CClientSocket&) = delete;
  CClientSocket& operator=(const CClientSocket&) = delete;

  // How the next Connect protects the connection.
  void SetSecurity(ConnectionSecurity mode, const std::string& caFile);
  // Connects to `host` (a name or a numeric address); on failure `errorText` says why in words
  // for the user. With TLS, a failed handshake is logged with its reason.
  bool Connect(const std::string& host, std::uint32_t port, std::string& errorText);
  // Secures the open plain connection (after STLS was accepted); a failure is logged with its
  // reason and ends the connection.
  bool StartTls();
  // Refills the buffer: the byte count, 0 when the server closed the connection (or none is
  // open), -1 on an error or a time-out, which is logged and ends the connection.
  int Receive();
  // Sends the whole command; false when the connection failed (it is then ended).
  bool Send(std::string_view bytes);
  // Ends the connection without a word to the server.
  void Disconnect();
  bool IsConnected() const { return stream->IsOpen(); }

  void SetTimeout(std::chrono::milliseconds limit) { timeout = limit; }
  std::chrono::milliseconds Timeout() const { return timeout; }
  // Any thread: a call waiting for the server returns at once, as if the connection broke.
  void Abort() { stream->Shutdown(); }

  // The received bytes not yet consumed.
  std::string_view Pending() const { return {buffer.get() + readPos, endPos - readPos}; }
  void Consume(std::size_t n) { readPos += n; }
  const std::string& HostName() const { return hostName; }

 private:
  void SecureConnectFailed(const std::string& reason);

  std::unique_ptr<IServerStream> stream;
  ConnectionSecurity security = ConnectionSecurity::Plain;
  std::chrono::milliseconds timeout = kDefaultTimeout;
  std::string hostName;
  std::unique_ptr<char[]> buffer;
  std::size_t readPos = 0;
  std::size_t endPos = 0;
};

}  // namespace qm
