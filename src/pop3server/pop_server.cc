#include "pop3server/pop_server.h"

#include <algorithm>

#include "platform/report.h"
#include "platform/socket.h"
#include "pop3server/pop_session.h"
#include "store/mailbox.h"

namespace qm {

namespace {

std::uint32_t AddressKey(const NetAddress& address) {
  return (static_cast<std::uint32_t>(address.ipv4[0]) << 24) |
         (static_cast<std::uint32_t>(address.ipv4[1]) << 16) |
         (static_cast<std::uint32_t>(address.ipv4[2]) << 8) | address.ipv4[3];
}

std::string Dotted(const NetAddress& address) {
  return std::to_string(address.ipv4[0]) + "." + std::to_string(address.ipv4[1]) + "." +
         std::to_string(address.ipv4[2]) + "." + std::to_string(address.ipv4[3]);
}

}  // namespace

struct CPopServer::Connection : IPopSessionHost {
  Connection(CPopServer& owner, CTcpConnection acceptedSocket)
      : server(owner),
        socket(std::move(acceptedSocket)),
        address(AddressKey(socket.PeerAddress())),
        session(*this) {}

  void Send(std::string_view bytes) override { socket.Send(bytes, std::chrono::seconds(60)); }
  void Close() override { quit = true; }
  CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) override {
    CMailbox* mailbox = server.host.FindLogin(user, password, index);
    if (mailbox != nullptr) server.ForgetFailedLogins(address);
    return mailbox;
  }
  void LoginFailed() override { server.DelayFailedLogin(address); }
  void LoginAccepted(CMailbox& mailbox, int index) override {
    server.host.LoginAccepted(mailbox, index);
  }

  CPopServer& server;
  CTcpConnection socket;
  // Kept apart from the socket, which forgets its peer when it closes.
  const std::uint32_t address;
  CPopSession session;
  bool quit = false;
  std::thread thread;
  bool finished = false;
};

CPopServer::CPopServer(IPopServerHost& serverHost) : host(serverHost) {}

CPopServer::~CPopServer() { Stop(); }

void CPopServer::Start(const PopServerOptions& serverOptions) {
  options = serverOptions;
  stopping = false;
  listener = std::thread([this] { Listen(); });
}

std::uint16_t CPopServer::WaitUntilListening(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex);
  changed.wait_for(lock, timeout, [this] { return listenState != ListenState::Starting; });
  return listenState == ListenState::Listening ? boundPort : 0;
}

void CPopServer::BeginStop() {
  stopping = true;
  {
    std::lock_guard lock(mutex);
    // Also frees a thread blocked sending to a client that does not read.
    for (auto& connection : connections) connection->socket.Shutdown();
  }
  changed.notify_all();
}

void CPopServer::Stop() {
  BeginStop();
  if (listener.joinable()) listener.join();
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return active == 0; });
  for (auto& connection : connections) {
    if (connection->thread.joinable()) connection->thread.join();
  }
  connections.clear();
}

void CPopServer::Listen() {
  CTcpListener socket;
  try {
    AcceptLoop(socket);
  } catch (...) {
    // Only the setting up can get here: a failed accept is caught in the loop.
    LogUncaught("Local POP3 server");
    std::lock_guard lock(mutex);
    if (listenState == ListenState::Starting) listenState = ListenState::Failed;
    changed.notify_all();
  }
}

void CPopServer::AcceptLoop(CTcpListener& socket) {
  const ListenResult result = socket.Listen(options.bindAddress, options.port, 1);
  if (result != ListenResult::Listening) {
    if (result == ListenResult::ListenFailed) {
      ShowMessage("POPサーバが起動できません。");
      Log("POP : Failed to listen.");
    } else if (result != ListenResult::SocketFailed) {
      ShowMessage("POPサーバが起動できません。他のPOPサーバが動いている可能性があります。");
      Log("POP : Failed to bind.");
    }
    std::lock_guard lock(mutex);
    listenState = ListenState::Failed;
    changed.notify_all();
    return;
  }
  Log("POP : Server thread began.");
  {
    std::lock_guard lock(mutex);
    listenState = ListenState::Listening;
    boundPort = socket.Port();
  }
  changed.notify_all();

  while (!stopping) {
    CTcpConnection accepted;
    // The time-out only lets the loop notice a stop request.
    if (socket.Accept(accepted, std::chrono::milliseconds(200)) != AcceptResult::Accepted) {
      continue;
    }
    try {
      Admit(std::move(accepted));
    } catch (...) {
      // That client is turned away; the server goes on for the next.
      LogUncaught("Local POP3 server");
    }
  }
}

void CPopServer::Admit(CTcpConnection accepted) {
  const NetAddress peer = accepted.PeerAddress();
  Log("POP : Connection request received from " + Dotted(peer));

  std::lock_guard lock(mutex);
  // Finished connections leave their objects behind until the next accept tidies them.
  for (auto it = connections.begin(); it != connections.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections.erase(it);
    } else {
      ++it;
    }
  }
  const std::uint32_t address = AddressKey(peer);
  const auto fromAddress = activeByAddress.find(address);
  const bool addressFull = fromAddress != activeByAddress.end() &&
                           fromAddress->second >= options.maxConnectionsPerAddress;
  if (active >= options.maxConnections || addressFull) {
    Log(addressFull ? "POP : Too many connections from one address; refused " + Dotted(peer) + "."
                    : "POP : Too many connections; refused " + Dotted(peer) + ".");
    accepted.Send("-ERR\r\n", std::chrono::seconds(1));
    accepted.ShutdownAndClose();
    return;
  }
  // The address's count is made room for first, so that counting cannot fail once the thread
  // runs; the thread takes it off again only after this returns, as it needs the lock.
  const auto slot = activeByAddress.try_emplace(address, 0).first;
  const auto forgetUnused = [this, slot] {
    if (slot->second == 0) activeByAddress.erase(slot);
  };
  // Counted only once its thread runs, so that a failure on the way leaves nothing behind for
  // Stop to wait for.
  try {
    connections.push_back(std::make_unique<Connection>(*this, std::move(accepted)));
  } catch (...) {
    forgetUnused();
    throw;
  }
  Connection& connection = *connections.back();
  try {
    connection.thread = std::thread([this, &connection] { Serve(connection); });
  } catch (...) {
    connections.pop_back();
    forgetUnused();
    throw;
  }
  ++active;
  ++slot->second;
}

void CPopServer::Serve(Connection& connection) {
  try {
    Converse(connection);
  } catch (...) {
    LogUncaught("Local POP3 connection");
  }
  connection.socket.ShutdownAndClose();
  // The client's deletions are not applied unless its QUIT did so.
  connection.session.End();
  try {
    Log("POP : Connection Closed.");
    host.ConnectionEnded();
  } catch (...) {
    LogUncaught("Local POP3 connection");
  }
  std::lock_guard lock(mutex);
  connection.finished = true;
  --active;
  // Counted when its thread started, so present.
  const auto fromAddress = activeByAddress.find(connection.address);
  if (fromAddress != activeByAddress.end() && --fromAddress->second <= 0) {
    activeByAddress.erase(fromAddress);
  }
  changed.notify_all();
}

void CPopServer::Converse(Connection& connection) {
  connection.Send(CPopSession::kGreeting);
  Log("POP : Send greeting message.");
  char buffer[1024];
  while (!connection.quit && !stopping) {
    // Logged in, a client may think longer than one that has yet to give its password.
    const std::chrono::milliseconds timeout =
        connection.session.State() == 0 ? options.loginTimeout : options.idleTimeout;
    const std::int64_t n = connection.socket.Receive(buffer, sizeof buffer, timeout);
    if (n == CTcpConnection::kReceiveTimedOut) {
      // A forgotten client must not keep its mailbox locked: log it out, deletions unapplied.
      Log("POP : Connection timed out.");
      break;
    }
    // Commands that arrive as the server stops are not carried out: a QUIT among them would
    // apply deletions that the stop has already discarded.
    if (n <= 0 || stopping) break;
    connection.session.Receive(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
}

void CPopServer::DelayFailedLogin(std::uint32_t address) {
  std::unique_lock lock(mutex);
  const int failures = ++failedLogins[address].count;
  auto delay = options.firstLoginDelay;
  for (int i = 1; i < failures && delay < options.maxLoginDelay; ++i) delay *= 2;
  delay = std::min(delay, options.maxLoginDelay);
  // A stopping server does not keep a client waiting.
  changed.wait_for(lock, delay, [this] { return stopping.load(); });
}

void CPopServer::ForgetFailedLogins(std::uint32_t address) {
  std::lock_guard lock(mutex);
  failedLogins.erase(address);
}

}  // namespace qm
