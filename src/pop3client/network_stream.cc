#include "pop3client/network_stream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstring>

namespace qm {

namespace {

// A close_notify is a courtesy; a peer that does not read must not hold up the close.
constexpr std::chrono::milliseconds kCloseNotifyTimeout{1000};

bool IsAddressLiteral(const std::string& host) {
  in_addr v4{};
  in6_addr v6{};
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

// The reasons OpenSSL queued on this thread, oldest first.
std::string QueuedErrors() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    std::array<char, 256> buffer{};
    ERR_error_string_n(code, buffer.data(), buffer.size());
    if (!text.empty()) text += "; ";
    text += buffer.data();
  }
  return text;
}

}  // namespace

struct CNetworkStream::Tls {
  ~Tls() {
    if (ssl != nullptr) SSL_free(ssl);  // frees both memory buffers too
    if (context != nullptr) SSL_CTX_free(context);
  }
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  BIO* input = nullptr;   // what arrived from the server, for TLS to read
  BIO* output = nullptr;  // what TLS wrote, to be sent
};

CNetworkStream::CNetworkStream() = default;

CNetworkStream::~CNetworkStream() { Close(); }

void CNetworkStream::SetSecurity(ConnectionSecurity newMode, const std::string& caFile) {
  mode = newMode;
  trustedFile = caFile;
}

ConnectResult CNetworkStream::Connect(const std::string& hostName, std::uint16_t port,
                                      std::chrono::milliseconds timeout, int* error) {
  Close();
  securityError.clear();
  host = hostName;
  const ConnectResult result = tcp.Connect(hostName, port, timeout, error);
  lastError = tcp.LastError();
  if (result != ConnectResult::Connected || mode != ConnectionSecurity::Tls) return result;
  if (Handshake(timeout)) return ConnectResult::Connected;
  Close();
  if (error != nullptr) *error = lastError;
  return ConnectResult::Failed;
}

bool CNetworkStream::StartTls(std::chrono::milliseconds timeout) {
  securityError.clear();
  if (!tcp.IsOpen() || tls) {
    securityError = "no plain connection to secure";
    return false;
  }
  if (Handshake(timeout)) return true;
  Close();
  return false;
}

bool CNetworkStream::Handshake(std::chrono::milliseconds timeout) {
  ERR_clear_error();
  lastError = EPROTO;
  tls = std::make_unique<Tls>();
  tls->context = SSL_CTX_new(TLS_client_method());
  if (tls->context == nullptr) {
    securityError = "cannot set up TLS: " + QueuedErrors();
    return false;
  }
  SSL_CTX_set_min_proto_version(tls->context, TLS1_2_VERSION);
  SSL_CTX_set_verify(tls->context, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_set_default_verify_paths(tls->context) != 1) {
    securityError = "cannot read the system's trusted certificates: " + QueuedErrors();
    return false;
  }
  if (!trustedFile.empty() &&
      SSL_CTX_load_verify_locations(tls->context, trustedFile.c_str(), nullptr) != 1) {
    securityError =
        "cannot read the trusted certificates in " + trustedFile + ": " + QueuedErrors();
    return false;
  }
  tls->ssl = SSL_new(tls->context);
  tls->input = BIO_new(BIO_s_mem());
  tls->output = BIO_new(BIO_s_mem());
  if (tls->ssl == nullptr || tls->input == nullptr || tls->output == nullptr) {
    if (tls->input != nullptr) BIO_free(tls->input);
    if (tls->output != nullptr) BIO_free(tls->output);
    securityError = "cannot set up TLS: " + QueuedErrors();
    return false;
  }
  SSL_set_bio(tls->ssl, tls->input, tls->output);
  // The certificate must name the server as the user wrote it: a name, or an address.
  bool named = false;
  if (IsAddressLiteral(host)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl), host.c_str()) == 1;
  } else {
    named = SSL_set1_host(tls->ssl, host.c_str()) == 1 &&
            SSL_set_tlsext_host_name(tls->ssl, host.c_str()) == 1;
  }
  if (!named) {
    securityError = "cannot check the certificate against the name " + host;
    return false;
  }
  SSL_set_connect_state(tls->ssl);

  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(tls->ssl);
    if (!FlushOutput(timeout)) {
      securityError = "the connection failed during the handshake";
      return false;
    }
    if (result == 1) return true;
    const int reason = SSL_get_error(tls->ssl, result);
    if (reason == SSL_ERROR_WANT_READ) {
      const std::int64_t received = FillInput(timeout);
      if (received > 0) continue;
      securityError = received == 0 ? "the server closed the connection during the handshake"
                      : received == CTcpConnection::kReceiveTimedOut
                          ? "no answer from the server during the handshake"
                          : std::string("the connection failed during the handshake: ") +
                                std::strerror(lastError);
      return false;
    }
    const long verified = SSL_get_verify_result(tls->ssl);
    if (verified != X509_V_OK) {
      securityError =
          std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified);
    } else {
      const std::string queued = QueuedErrors();
      securityError = queued.empty() ? "the handshake failed" : queued;
    }
    lastError = EPROTO;
    return false;
  }
}

bool CNetworkStream::FlushOutput(std::chrono::milliseconds timeout) {
  std::array<char, 16384> chunk{};
  while (BIO_ctrl_pending(tls->output) > 0) {
    const int n = BIO_read(tls->output, chunk.data(), static_cast<int>(chunk.size()));
    if (n <= 0) break;
    if (!tcp.Send(std::string_view(chunk.data(), static_cast<std::size_t>(n)), timeout)) {
      lastError = tcp.LastError();
      return false;
    }
  }
  return true;
}

std::int64_t CNetworkStream::FillInput(std::chrono::milliseconds timeout) {
  std::array<char, 65536> chunk{};
  const std::int64_t received = tcp.Receive(chunk.data(), chunk.size(), timeout);
  if (received > 0) {
    BIO_write(tls->input, chunk.data(), static_cast<int>(received));
  } else if (received == CTcpConnection::kReceiveFailed) {
    lastError = tcp.LastError();
  }
  return received;
}

bool CNetworkStream::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
  if (!tls) {
    const bool sent = tcp.Send(bytes, timeout);
    lastError = tcp.LastError();
    return sent;
  }
  while (!bytes.empty()) {
    ERR_clear_error();
    const int n = SSL_write(tls->ssl, bytes.data(),
                            static_cast<int>(bytes.size() > 1 << 30 ? 1 << 30 : bytes.size()));
    if (n <= 0) {
      securityError = QueuedErrors();
      lastError = EPROTO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return FlushOutput(timeout);
}

std::int64_t CNetworkStream::Receive(char* buffer, std::size_t n,
                                     std::chrono::milliseconds timeout) {
  if (!tls) {
    const std::int64_t received = tcp.Receive(buffer, n, timeout);
    lastError = tcp.LastError();
    return received;
  }
  for (;;) {
    ERR_clear_error();
    const int result = SSL_read(tls->ssl, buffer, static_cast<int>(n > 1 << 30 ? 1 << 30 : n));
    if (result > 0) return result;
    const int reason = SSL_get_error(tls->ssl, result);
    if (reason == SSL_ERROR_ZERO_RETURN) return 0;
    if (reason != SSL_ERROR_WANT_READ) {
      securityError = QueuedErrors();
      lastError = EPROTO;
      return CTcpConnection::kReceiveFailed;
    }
    // Reading may have produced records of its own (a key update).
    if (!FlushOutput(timeout)) return CTcpConnection::kReceiveFailed;
    const std::int64_t received = FillInput(timeout);
    if (received <= 0) return received;
  }
}

void CNetworkStream::EndTls() {
  if (!tls) return;
  if (tls->ssl != nullptr && tcp.IsOpen() && SSL_is_init_finished(tls->ssl)) {
    ERR_clear_error();
    SSL_shutdown(tls->ssl);
    FlushOutput(kCloseNotifyTimeout);
  }
  ERR_clear_error();
  tls.reset();
}

void CNetworkStream::Close() {
  EndTls();
  tcp.Close();
}

}  // namespace qm
