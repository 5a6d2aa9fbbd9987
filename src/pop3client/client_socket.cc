#include "pop3client/client_socket.h"

#include <errno.h>

#include "platform/report.h"
#include "pop3client/network_stream.h"

namespace qm {

CClientSocket::CClientSocket(std::unique_ptr<IServerStream> serverStream)
    : stream(serverStream ? std::move(serverStream) : std::make_unique<CNetworkStream>()),
      buffer(std::make_unique<char[]>(kBufferSize)) {
  buffer[0] = '\0';
}

CClientSocket::~CClientSocket() = default;

void CClientSocket::SetSecurity(ConnectionSecurity mode, const std::string& caFile) {
  security = mode;
  stream->SetSecurity(mode, caFile);
}

void CClientSocket::SecureConnectFailed(const std::string& reason) {
  Log("MSV : Secure connection to " + hostName + " failed. ( " + reason + " )");
  SetStatusText("暗号化接続に失敗しました ( " + hostName + " )");
}

bool CClientSocket::StartTls() {
  // Bytes that came after the reply to STLS were sent in clear text and could have been
  // injected on the way: nothing read before the handshake may count as read inside it.
  if (readPos != endPos) {
    SecureConnectFailed("the server sent data before the handshake");
    Disconnect();
    return false;
  }
  if (stream->StartTls(timeout)) return true;
  SecureConnectFailed(stream->SecurityError());
  Disconnect();
  return false;
}

bool CClientSocket::Connect(const std::string& host, std::uint32_t port, std::string& errorText) {
  readPos = endPos = 0;
  buffer[0] = '\0';
  hostName = host;
  const auto cannotConnect = [&] {
    errorText = "サーバ" + hostName + "に接続できません。";
    return false;
  };
  if (port == 0 || port > 65535) return cannotConnect();
  const ConnectResult result =
      stream->Connect(host, static_cast<std::uint16_t>(port), timeout, nullptr);
  switch (result) {
    case ConnectResult::Connected:
      return true;
    case ConnectResult::HostNotFound:
      errorText = "サーバ" + hostName + "の名前解決が出来ません。\nサーバ名を確認してください。";
      return false;
    case ConnectResult::TimedOut:
      break;
    case ConnectResult::Failed:
      if (security == ConnectionSecurity::Tls && !stream->SecurityError().empty()) {
        SecureConnectFailed(stream->SecurityError());
      }
      break;
  }
  return cannotConnect();
}

int CClientSocket::Receive() {
  readPos = endPos = 0;
  buffer[0] = '\0';
  if (!stream->IsOpen()) return 0;
  const std::int64_t received = stream->Receive(buffer.get(), kBufferSize - 1, timeout);
  if (received >= 0) {
    endPos = static_cast<std::size_t>(received);
    buffer[endPos] = '\0';
    return static_cast<int>(received);
  }
  const int error = received == CTcpConnection::kReceiveTimedOut ? ETIMEDOUT : stream->LastError();
  Log("SVR : SOCKET ERROR !! ( err = " + std::to_string(error) + " )");
  // Whatever the server sends later would be read as the reply to the wrong command.
  stream->Close();
  return -1;
}

bool CClientSocket::Send(std::string_view bytes) {
  if (stream->Send(bytes, timeout)) return true;
  stream->Close();
  return false;
}

void CClientSocket::Disconnect() {
  stream->Close();
  readPos = endPos = 0;
  buffer[0] = '\0';
}

}  // namespace qm
