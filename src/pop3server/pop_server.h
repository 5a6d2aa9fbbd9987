// The local POP3 server: a listener thread that accepts mail clients and one thread per
// connection that runs its dialogue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace qm {

class CMailbox;
class CTcpConnection;
class CTcpListener;

struct PopServerOptions {
  std::string bindAddress;  // empty: every interface
  std::uint16_t port = 110;
  // A logged-in client silent this long is logged out without its deletions being applied.
  std::chrono::milliseconds idleTimeout = std::chrono::seconds(600);
  // A client that has not logged in yet is dropped after this much silence.
  std::chrono::milliseconds loginTimeout = std::chrono::seconds(60);
  // Connections beyond this many at once are refused.
  int maxConnections = 32;
  // And beyond this many at once from one address. A mail client on this machine that checks
  // several accounts at a time comes from one address for all of them.
  int maxConnectionsPerAddress = 8;
  // The first wait after a wrong password; it doubles per further failure from the same address.
  std::chrono::milliseconds firstLoginDelay = std::chrono::seconds(2);
  std::chrono::milliseconds maxLoginDelay = std::chrono::seconds(15);
};

// What the server needs from the program around it. Called on connection threads.
class IPopServerHost {
 public:
  virtual ~IPopServerHost() = default;
  virtual CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) = 0;
  // Between a correct password and the opening of the maildrop (on-demand retrieval, the end of
  // the new-mail indication).
  virtual void LoginAccepted(CMailbox& mailbox, int index) = 0;
  // A connection ended; the idle step should run.
  virtual void ConnectionEnded() = 0;
};

class CPopServer {
 public:
  explicit CPopServer(IPopServerHost& host);
  ~CPopServer();
  CPopServer(const CPopServer&) = delete;
  CPopServer& operator=(const CPopServer&) = delete;

  // Starts the listener thread, which reports a port it cannot take to the user and the log.
  void Start(const PopServerOptions& options);
  // Waits until the listener listens (its port) or has given up (0).
  std::uint16_t WaitUntilListening(std::chrono::milliseconds timeout);
  // Stops accepting and ends every connection without waiting: a client's deletions are not
  // applied, as when its connection drops. Any thread.
  void BeginStop();
  // BeginStop, then waits for the listener and the connection threads.
  void Stop();

 private:
  struct Connection;
  // Thread entries: an exception ends the connection, or the one being accepted, never the
  // process.
  void Listen();
  void Serve(Connection& connection);
  void AcceptLoop(CTcpListener& socket);
  void Admit(CTcpConnection accepted);
  void Converse(Connection& connection);
  // Slows down password guessing: the wait before a wrong password's reply, per address.
  void DelayFailedLogin(std::uint32_t address);
  void ForgetFailedLogins(std::uint32_t address);

  IPopServerHost& host;
  PopServerOptions options;
  std::thread listener;
  std::atomic<bool> stopping{false};

  std::mutex mutex;
  std::condition_variable changed;
  enum class ListenState { Starting, Listening, Failed } listenState = ListenState::Starting;
  std::uint16_t boundPort = 0;
  std::list<std::unique_ptr<Connection>> connections;
  int active = 0;
  // The running connections per client address; an address leaves when its last one ends.
  std::map<std::uint32_t, int> activeByAddress;
  struct Failures {
    int count = 0;
  };
  std::map<std::uint32_t, Failures> failedLogins;
};

}  // namespace qm
