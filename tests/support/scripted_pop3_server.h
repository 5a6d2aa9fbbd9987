// The scripted remote server (FakePop3Server) over real loopback connections, for code that makes
// its own TCP sessions: every connection gets a fresh server that `fill` stocks, and what each
// client sent is kept once its connection has ended.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "pop3client/fake_pop3_server.h"

namespace qm::test {

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
