// A POP3 server in memory behind the session's stream interface: it answers the commands the
// client sends, keeps both directions of the conversation for exact comparison, and can be told
// to misbehave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "message/decode.h"
#include "pop3client/server_stream.h"

namespace qm::test {

struct FakeMessage {
  std::string uid;
  // CR LF lines, not dot-stuffed, without the terminating line.
  std::string text;
  bool deleted = false;
};

class FakePop3Server {
 public:
  std::string greeting = "+OK ready\r\n";
  std::string user = "u";
  std::string password = "p";
  std::vector<FakeMessage> messages;
  // Bytes per receive: 1 releases every reply one byte at a time.
  std::size_t chunk = 65535;
  bool refuseConnect = false;
  // When set and it returns a reply, that reply is sent instead of the normal one.
  std::function<std::optional<std::string>(const std::string& command)> replyOverride;
  // The server closes the connection once it has delivered this many bytes in all.
  std::optional<std::size_t> cutAfter;
  // An older server knows neither CAPA nor UIDL and LIST without argument.
  bool classic = false;
  bool pipelining = false;
  // STLS is accepted (the stream then pretends to be secure).
  bool startTls = false;
  // AUTH XOAUTH2 is offered and takes this SASL string (before base64); empty: not offered.
  std::string xoauth2;
  // Base64 of the error JSON a refused XOAUTH2 string gets as a challenge.
  std::string xoauth2Error = "eyJzdGF0dXMiOiI0MDEifQ==";

  std::string sent;       // every byte the client sent
  std::string delivered;  // every byte the client received
  int connections = 0;
  bool connected = false;

  static std::string Stuffed(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      end = end == std::string::npos ? text.size() : end + 2;
      if (text[start] == '.') out += '.';
      out.append(text, start, end - start);
      start = end;
    }
    return out;
  }

  // What the client stores for message i: the text as it travels, terminator included.
  std::string Wire(std::size_t i) const { return Stuffed(messages[i].text) + ".\r\n"; }

  void Connect() {
    ++connections;
    connected = true;
    closing = false;
    pending = greeting;
    line.clear();
  }

  void Receive(const std::string& bytes) {
    sent += bytes;
    line += bytes;
    std::size_t end;
    while ((end = line.find("\r\n")) != std::string::npos) {
      const std::string command = line.substr(0, end);
      line.erase(0, end + 2);
      pending += Answer(command);
    }
  }

  // Count, 0 when the server has closed, -2 when it stays silent.
  std::int64_t Deliver(char* buffer, std::size_t n) {
    if (!connected) return 0;
    std::size_t take = std::min({n, chunk, pending.size()});
    if (cutAfter && delivered.size() + take > *cutAfter) take = *cutAfter - delivered.size();
    if (take == 0) {
      if (closing || (cutAfter && delivered.size() >= *cutAfter)) {
        Drop();
        return 0;
      }
      return CTcpConnection::kReceiveTimedOut;
    }
    std::memcpy(buffer, pending.data(), take);
    delivered.append(pending, 0, take);
    pending.erase(0, take);
    return static_cast<std::int64_t>(take);
  }

  // Answered but not yet delivered.
  std::size_t Undelivered() const { return pending.size(); }

  // The connection ends without QUIT: deletions are forgotten.
  void Drop() {
    connected = false;
    for (FakeMessage& message : messages) message.deleted = false;
  }

 private:
  std::string Answer(const std::string& command) {
    if (replyOverride) {
      if (auto reply = replyOverride(command)) {
        saslStep = 0;
        return *reply;
      }
    }
    if (saslStep == 1) {
      std::string decoded;
      DecodeBase64(command, decoded);
      saslStep = decoded == xoauth2 ? 0 : 2;
      return saslStep == 0 ? "+OK in\r\n" : "+ " + xoauth2Error + "\r\n";
    }
    if (saslStep == 2) {
      saslStep = 0;
      return "-ERR [AUTH] Invalid credentials\r\n";
    }
    if (command == "AUTH XOAUTH2" && !xoauth2.empty()) {
      saslStep = 1;
      return "+ \r\n";
    }
    if (command == "STLS" && startTls) return "+OK go ahead\r\n";
    const auto space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : command.substr(space + 1);
    const auto message = [&](const std::string& number) -> FakeMessage* {
      const int n = std::atoi(number.c_str());
      if (n < 1 || n > static_cast<int>(messages.size())) return nullptr;
      FakeMessage& m = messages[static_cast<std::size_t>(n - 1)];
      return m.deleted ? nullptr : &m;
    };
    if (verb == "USER") return argument == user ? "+OK\r\n" : "-ERR who\r\n";
    if (verb == "PASS") return argument == password ? "+OK in\r\n" : "-ERR no\r\n";
    if (verb == "STAT") {
      std::size_t count = 0, size = 0;
      for (const FakeMessage& m : messages) {
        if (!m.deleted) ++count, size += m.text.size();
      }
      return "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
    }
    if ((verb == "UIDL" || verb == "LIST") && argument.empty() && !classic) {
      std::string listing = "+OK\r\n";
      for (std::size_t i = 0; i < messages.size(); ++i) {
        if (messages[i].deleted) continue;
        listing += std::to_string(i + 1) + " " +
                   (verb == "UIDL" ? messages[i].uid : std::to_string(messages[i].text.size())) +
                   "\r\n";
      }
      return listing + ".\r\n";
    }
    if (verb == "CAPA" && !classic) {
      return std::string("+OK\r\nTOP\r\nUIDL\r\n") + (pipelining ? "PIPELINING\r\n" : "") + ".\r\n";
    }
    if (verb == "UIDL") {
      FakeMessage* m = message(argument);
      return m ? "+OK " + argument + " " + m->uid + "\r\n" : "-ERR no such message\r\n";
    }
    if (verb == "LIST") {
      FakeMessage* m = message(argument);
      return m ? "+OK " + argument + " " + std::to_string(m->text.size()) + "\r\n"
               : "-ERR no such message\r\n";
    }
    if (verb == "RETR") {
      FakeMessage* m = message(argument);
      return m ? "+OK\r\n" + Stuffed(m->text) + ".\r\n" : "-ERR no such message\r\n";
    }
    if (verb == "TOP") {
      FakeMessage* m = message(argument.substr(0, argument.find(' ')));
      if (!m) return "-ERR no such message\r\n";
      const std::size_t header = m->text.find("\r\n\r\n");
      const std::string head =
          header == std::string::npos ? m->text : m->text.substr(0, header + 4);
      return "+OK\r\n" + Stuffed(head) + ".\r\n";
    }
    if (verb == "DELE") {
      FakeMessage* m = message(argument);
      if (!m) return "-ERR no such message\r\n";
      m->deleted = true;
      return "+OK\r\n";
    }
    if (verb == "QUIT") {
      std::erase_if(messages, [](const FakeMessage& m) { return m.deleted; });
      closing = true;
      return "+OK bye\r\n";
    }
    return "-ERR unknown\r\n";
  }

  std::string pending;
  std::string line;
  bool closing = false;
  int saslStep = 0;
};

// The session's end of the fake server.
class FakeStream : public IServerStream {
 public:
  explicit FakeStream(std::shared_ptr<FakePop3Server> server) : server_(std::move(server)) {}
  ConnectResult Connect(const std::string&, std::uint16_t, std::chrono::milliseconds,
                        int*) override {
    if (server_->refuseConnect) return ConnectResult::Failed;
    server_->Connect();
    open_ = true;
    return ConnectResult::Connected;
  }
  bool Send(std::string_view bytes, std::chrono::milliseconds) override {
    if (!open_ || !server_->connected) return false;
    server_->Receive(std::string(bytes));
    return true;
  }
  std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds) override {
    if (!open_) return 0;
    return server_->Deliver(buffer, n);
  }
  void Shutdown() override {}
  void Close() override {
    if (open_ && server_->connected) server_->Drop();
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  bool StartTls(std::chrono::milliseconds) override { return server_->startTls; }
  int LastError() const override { return 0; }

 private:
  std::shared_ptr<FakePop3Server> server_;
  bool open_ = false;
};

}  // namespace qm::test
