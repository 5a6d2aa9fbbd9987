// Two scripted remote servers: FakePop3Server answers in memory behind the session's stream
// interface (FakeStream), keeps both directions of the conversation for exact comparison and can
// be told to misbehave; ScriptedPop3Server puts one behind every real loopback connection, for code
// that makes its own TCP sessions.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "message/decode.h"
#include "platform/socket.h"
#include "pop3client/server_stream.h"

namespace qm::test {

struct FakeMessage {
  std::string uid;
  std::string text;  // CR LF lines, not dot-stuffed, without the terminating line
  bool deleted = false;
};

class FakePop3Server {
 public:
  std::string greeting = "+OK ready\r\n";
  std::string user = "u";
  std::string password = "p";
  std::vector<FakeMessage> messages;
  std::size_t chunk = 65535;  // bytes per receive: 1 releases every reply a byte at a time
  bool refuseConnect = false;
  // Fixed replies by command line ("*": any command), sent instead of the normal ones; then
  // replyOverride, whose reply, when it gives one, is sent instead.
  std::map<std::string, std::string> replies;
  std::function<std::optional<std::string>(const std::string& command)> replyOverride;
  std::optional<std::size_t> cutAfter;  // the server closes after delivering this many bytes
  bool classic = false;  // an older server: no CAPA, no UIDL or LIST without argument
  bool pipelining = false;
  bool startTls = false;  // STLS is accepted (the stream then pretends to be secure)
  // AUTH XOAUTH2 is offered and takes this SASL string (before base64); empty: not offered.
  std::string xoauth2;
  std::string xoauth2Error = "eyJzdGF0dXMiOiI0MDEifQ==";  // base64 of the refusal's JSON

  std::string sent;       // every byte the client sent
  std::string delivered;  // every byte the client received
  int connections = 0;
  bool connected = false;

  static std::string Stuffed(const std::string& text) {
    std::string out;
    for (std::size_t start = 0, end; start < text.size(); start = end) {
      end = text.find("\r\n", start);
      end = end == std::string::npos ? text.size() : end + 2;
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
    for (std::size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2)) {
      pending += Answer(line.substr(0, end));
    }
  }
  // Count, 0 when the server has closed, kReceiveTimedOut when it stays silent.
  std::int64_t Deliver(char* buffer, std::size_t n) {
    if (!connected) return 0;
    std::size_t take = std::min({n, chunk, pending.size()});
    if (cutAfter && delivered.size() + take > *cutAfter) take = *cutAfter - delivered.size();
    if (take == 0) {
      if (!closing && !(cutAfter && delivered.size() >= *cutAfter)) {
        return CTcpConnection::kReceiveTimedOut;
      }
      Drop();
      return 0;
    }
    std::memcpy(buffer, pending.data(), take);
    delivered.append(pending, 0, take);
    pending.erase(0, take);
    return static_cast<std::int64_t>(take);
  }
  std::size_t Undelivered() const { return pending.size(); }  // answered, not yet delivered
  // The connection ends without QUIT: deletions are forgotten.
  void Drop() {
    connected = false;
    for (FakeMessage& message : messages) message.deleted = false;
  }

 private:
  std::string Answer(const std::string& command) {
    std::optional<std::string> fixed;
    if (auto it = replies.find(command); it != replies.end()) fixed = it->second;
    if (auto it = replies.find("*"); !fixed && it != replies.end()) fixed = it->second;
    if (!fixed && replyOverride) fixed = replyOverride(command);
    if (fixed) {
      saslStep = 0;
      return *fixed;
    }
    if (saslStep != 0) {
      std::string decoded;
      DecodeBase64(command, decoded);
      saslStep = saslStep == 1 && decoded != xoauth2 ? 2 : 0;
      if (saslStep == 2) return "+ " + xoauth2Error + "\r\n";
      return decoded == xoauth2 ? "+OK in\r\n" : "-ERR [AUTH] Invalid credentials\r\n";
    }
    if (command == "AUTH XOAUTH2" && !xoauth2.empty()) {
      saslStep = 1;
      return "+ \r\n";
    }
    if (command == "STLS" && startTls) return "+OK go ahead\r\n";
    const auto space = command.find(' ');
    const std::string verb = command.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : command.substr(space + 1);
    const int n = std::atoi(argument.c_str());
    FakeMessage* m = n < 1 || n > static_cast<int>(messages.size()) ||
                             messages[static_cast<std::size_t>(n - 1)].deleted
                         ? nullptr
                         : &messages[static_cast<std::size_t>(n - 1)];
    const std::string noSuch = "-ERR no such message\r\n";
    if (verb == "USER") return argument == user ? "+OK\r\n" : "-ERR who\r\n";
    if (verb == "PASS") return argument == password ? "+OK in\r\n" : "-ERR no\r\n";
    if (verb == "STAT") {
      std::size_t count = 0, size = 0;
      for (const FakeMessage& k : messages) {
        if (!k.deleted) ++count, size += k.text.size();
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
    if (verb == "UIDL") return m ? "+OK " + argument + " " + m->uid + "\r\n" : noSuch;
    if (verb == "LIST") {
      return m ? "+OK " + argument + " " + std::to_string(m->text.size()) + "\r\n" : noSuch;
    }
    if (verb == "RETR") return m ? "+OK\r\n" + Stuffed(m->text) + ".\r\n" : noSuch;
    if (verb == "TOP") {
      if (!m) return noSuch;
      const std::size_t header = m->text.find("\r\n\r\n");
      return "+OK\r\n" +
             Stuffed(m->text.substr(0, header == std::string::npos ? header : header + 4)) +
             ".\r\n";
    }
    if (verb == "DELE") {
      if (!m) return noSuch;
      m->deleted = true;
      return "+OK\r\n";
    }
    if (verb == "QUIT") {
      std::erase_if(messages, [](const FakeMessage& k) { return k.deleted; });
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

// The session's end of the in-memory server.
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
    return open_ ? server_->Deliver(buffer, n) : 0;
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

// Every connection gets a fresh server that `fill` stocks, and what each client sent is kept once
// its connection has ended.
class ScriptedPop3Server {
 public:
  // `fill` stocks the server of the connection with this number (1 for the first), on that
  // connection's own thread.
  explicit ScriptedPop3Server(std::function<void(FakePop3Server&, int)> fill)
      : fill_(std::move(fill)) {
    EXPECT_EQ(listener_.Listen("127.0.0.1", 0, 16), ListenResult::Listening);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~ScriptedPop3Server() {
    stop_ = true;
    acceptor_.join();
    for (Session& session : sessions_) session.thread.join();
  }
  ScriptedPop3Server(const ScriptedPop3Server&) = delete;
  ScriptedPop3Server& operator=(const ScriptedPop3Server&) = delete;

  std::uint16_t Port() const { return listener_.Port(); }
  // What the clients of the ended connections sent, in the order the connections ended, once
  // `count` of them have ended (or 10 s have passed: a client's end reaches the server a moment
  // after the client is done).
  std::vector<std::string> Transcripts(std::size_t count) {
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, std::chrono::seconds(10),
                    [this, count] { return transcripts_.size() >= count; });
    return transcripts_;
  }

 private:
  struct Session {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  void Accept() {
    using namespace std::chrono_literals;
    for (int number = 1; !stop_; ++number) {
      CTcpConnection connection;
      while (!stop_ && listener_.Accept(connection, 20ms) != AcceptResult::Accepted) {
      }
      if (stop_) return;
      sessions_.remove_if([](Session& session) {
        if (!session.done->load()) return false;
        session.thread.join();
        return true;
      });
      auto done = std::make_shared<std::atomic<bool>>(false);
      std::thread thread([this, connection = std::move(connection), number, done]() mutable {
        Serve(connection, number);
        done->store(true);
      });
      sessions_.push_back({std::move(thread), std::move(done)});
    }
  }

  void Serve(CTcpConnection& connection, int number) {
    using namespace std::chrono_literals;
    FakePop3Server server;
    fill_(server, number);
    server.Connect();
    char buffer[4096];
    for (;;) {
      std::int64_t n;
      while ((n = server.Deliver(buffer, sizeof buffer)) > 0) {
        connection.Send(std::string_view(buffer, static_cast<std::size_t>(n)), 5s);
      }
      if (n == 0) break;
      n = connection.Receive(buffer, sizeof buffer, 10s);
      if (n <= 0) break;
      server.Receive(std::string(buffer, static_cast<std::size_t>(n)));
    }
    connection.ShutdownAndClose();
    {
      std::lock_guard lock(mutex_);
      transcripts_.push_back(server.sent);
    }
    ended_.notify_all();
  }

  std::function<void(FakePop3Server&, int)> fill_;
  CTcpListener listener_;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::list<Session> sessions_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::vector<std::string> transcripts_;
};

}  // namespace qm::test
