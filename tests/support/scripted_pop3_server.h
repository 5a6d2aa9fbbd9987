// FakePop3Server answers in memory behind FakeStream, keeps both directions and can misbehave;
// ScriptedPop3Server puts one behind every real loopback connection.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "pop3client/server_stream.h"

namespace qm::test {

using namespace std::chrono_literals;

struct FakeMessage {
  std::string uid;
  std::string text;  // CR LF lines, not dot-stuffed, without the terminating line
  bool deleted = false;
};

class FakePop3Server {
 public:
  std::string greeting = "+OK ready\r\n", user = "u", password = "p";
  std::vector<FakeMessage> messages;
  std::size_t chunk = 65535;  // bytes per receive: 1 releases every reply a byte at a time
  // Fixed replies by command line ("*": any), then replyOverride's, instead of the normal ones.
  std::map<std::string, std::string> replies;
  std::function<std::optional<std::string>(const std::string& command)> replyOverride;
  std::optional<std::size_t> cutAfter;  // the server closes after delivering this many bytes
  bool classic = false;  // an older server: no CAPA, no UIDL or LIST without argument
  bool pipelining = false;
  std::string sent, delivered, pending;  // every byte the client sent, received, and is owed
  int connections = 0;
  bool connected = false;

  static std::string Stuffed(const std::string& text) {
    std::string out;
    for (std::size_t start = 0, end; start < text.size(); start = end) {
      end = std::min(text.find("\r\n", start), text.size() - 2) + 2;
      out += (text[start] == '.' ? "." : "") + text.substr(start, end - start);
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
    for (std::size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2))
      pending += Answer(line.substr(0, end));
  }
  // Count, 0 when the server has closed, kReceiveTimedOut when it stays silent.
  std::int64_t Deliver(char* buffer, std::size_t n) {
    if (!connected) return 0;
    std::size_t take = std::min({n, chunk, pending.size()});
    if (cutAfter && delivered.size() + take > *cutAfter) take = *cutAfter - delivered.size();
    if (take == 0 && !closing && !(cutAfter && delivered.size() >= *cutAfter))
      return CTcpConnection::kReceiveTimedOut;
    if (take == 0) Drop();
    std::memcpy(buffer, pending.data(), take);
    delivered.append(pending, 0, take);
    pending.erase(0, take);
    return static_cast<std::int64_t>(take);
  }
  // The connection ends without QUIT: deletions are forgotten.
  void Drop() {
    connected = false;
    for (FakeMessage& message : messages) message.deleted = false;
  }

 private:
  std::string Answer(const std::string& command) {
    if (auto it = replies.find(command); it != replies.end()) return it->second;
    if (auto it = replies.find("*"); it != replies.end()) return it->second;
    if (auto fixed = replyOverride ? replyOverride(command) : std::nullopt) return *fixed;
    const auto space = command.find(' ');
    const std::string verb = command.substr(0, space),
                      argument = space == std::string::npos ? "" : command.substr(space + 1);
    const std::size_t n = std::strtoul(argument.c_str(), nullptr, 10);
    FakeMessage* m =
        n >= 1 && n <= messages.size() && !messages[n - 1].deleted ? &messages[n - 1] : nullptr;
    const auto about = [&](const FakeMessage& k) {  // its unique id or size, as the verb asks
      return verb == "UIDL" ? k.uid : std::to_string(k.text.size());
    };
    if (verb == "USER") return argument == user ? "+OK\r\n" : "-ERR who\r\n";
    if (verb == "PASS") return argument == password ? "+OK in\r\n" : "-ERR no\r\n";
    if (verb == "STAT") {
      std::size_t count = 0, bytes = 0;
      for (const FakeMessage& k : messages)
        count += !k.deleted, bytes += k.deleted ? 0 : k.text.size();
      return "+OK " + std::to_string(count) + " " + std::to_string(bytes) + "\r\n";
    }
    if ((verb == "UIDL" || verb == "LIST") && argument.empty() && !classic) {
      std::string listing = "+OK\r\n";
      for (std::size_t i = 0; i < messages.size(); ++i)
        if (!messages[i].deleted)
          listing += std::to_string(i + 1) + " " + about(messages[i]) + "\r\n";
      return listing + ".\r\n";
    }
    if (verb == "CAPA" && !classic)
      return std::string("+OK\r\nTOP\r\nUIDL\r\n") + (pipelining ? "PIPELINING\r\n" : "") + ".\r\n";
    if (verb == "QUIT") {
      std::erase_if(messages, [](const FakeMessage& k) { return k.deleted; });
      closing = true;
      return "+OK bye\r\n";
    }
    if (std::string(" UIDL LIST RETR TOP DELE ").find(" " + verb + " ") == std::string::npos)
      return "-ERR unknown\r\n";
    if (!m) return "-ERR no such message\r\n";
    if (verb == "UIDL" || verb == "LIST") return "+OK " + argument + " " + about(*m) + "\r\n";
    const std::size_t head = std::min(m->text.find("\r\n\r\n"), m->text.size()) + 4;
    if (verb == "RETR" || verb == "TOP")
      return "+OK\r\n" + Stuffed(verb == "TOP" ? m->text.substr(0, head) : m->text) + ".\r\n";
    m->deleted = true;
    return "+OK\r\n";
  }

  std::string line;
  bool closing = false;
};

class FakeStream : public IServerStream {
 public:
  explicit FakeStream(std::shared_ptr<FakePop3Server> server) : server_(std::move(server)) {}
  ConnectResult Connect(const std::string&, std::uint16_t, std::chrono::milliseconds,
                        int*) override {
    server_->Connect();
    open_ = true;
    return ConnectResult::Connected;
  }
  bool Send(std::string_view bytes, std::chrono::milliseconds) override {
    if (open_ && server_->connected) server_->Receive(std::string(bytes));
    return open_ && server_->connected;
  }
  std::int64_t Receive(char* buffer, std::size_t n, std::chrono::milliseconds) override {
    return open_ ? server_->Deliver(buffer, n) : 0;
  }
  void Shutdown() override {}
  void Close() override {
    if (open_ && server_->connected) server_->Drop();
    open_ = false;
  }
  bool IsOpen() const override { return open_; }
  bool StartTls(std::chrono::milliseconds) override { return false; }
  int LastError() const override { return 0; }

 private:
  std::shared_ptr<FakePop3Server> server_;
  bool open_ = false;
};

// Each connection, on its own thread, gets a fresh server `fill` stocks (given its number, from 1).
class ScriptedPop3Server {
 public:
  explicit ScriptedPop3Server(std::function<void(FakePop3Server&, int)> fill)
      : fill_(std::move(fill)) {
    EXPECT_EQ(listener_.Listen("127.0.0.1", 0, 16), ListenResult::Listening);
    acceptor_ = std::thread([this] {
      for (int number = 1; !stop_; ++number) {
        auto connection = std::make_shared<CTcpConnection>();
        while (!stop_ && listener_.Accept(*connection, 20ms) != AcceptResult::Accepted) {
        }
        if (!stop_)
          sessions_.emplace_back([this, connection, number] { Serve(*connection, number); });
      }
    });
  }
  ~ScriptedPop3Server() {
    stop_ = true;
    acceptor_.join();
    for (std::thread& session : sessions_) session.join();
  }

  std::uint16_t Port() const { return listener_.Port(); }

 private:
  void Serve(CTcpConnection& connection, int number) {
    FakePop3Server server;
    fill_(server, number);
    server.Connect();
    char buffer[4096];
    for (std::int64_t n = 1; n > 0;) {
      while ((n = server.Deliver(buffer, sizeof buffer)) > 0)
        connection.Send(std::string_view(buffer, static_cast<std::size_t>(n)), 5s);
      if (n != 0 && (n = connection.Receive(buffer, sizeof buffer, 10s)) > 0)
        server.Receive(std::string(buffer, static_cast<std::size_t>(n)));
    }
    connection.ShutdownAndClose();
  }

  std::function<void(FakePop3Server&, int)> fill_;
  CTcpListener listener_;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> sessions_;  // joined at the end only: a test makes a few connections
};

}  // namespace qm::test
