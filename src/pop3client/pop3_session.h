// The POP3 conversation with a mailbox's remote account: log in, STAT, UIDL n, TOP n m, RETR n,
// DELE n and QUIT, strictly one command and its whole reply at a time. The session also carries
// the unique-id lists that decide what a retrieval fetches (the base class).
//
// Each wait for the server is bounded by the time-out, so a silent server ends the run as a
// socket error instead of holding the retrieval thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pop3client/client_socket.h"
#include "store/server_lists.h"

namespace qm {

class CPop3Session : public CMailboxClient {
 public:
  // A message larger than this is refused as a failed RETR rather than exhausting memory.
  static constexpr std::size_t kMaxMessageBytes = std::size_t{1} << 30;

  // Open results.
  static constexpr int kLoggedIn = 0;
  static constexpr int kNoConnection = -1;
  static constexpr int kLoginRefused = -2;
  static constexpr int kBadGreeting = -3;
  // The account asks for a secure connection and none could be made.
  static constexpr int kNotSecured = -4;

  enum State : int { kClosed = 0, kConnected = 1, kLoggedInState = 2 };

  // Talks over `stream`, or over TCP when it is null.
  explicit CPop3Session(std::unique_ptr<IServerStream> stream = nullptr);
  // Ends a connection still open with QUIT.
  ~CPop3Session() override;

  // ---- Account ----
  void SetAccount(const std::string& host, std::uint32_t port, const std::string& user,
                  const std::string& password);
  // True when the host is not empty.
  bool GetAccount(std::string& host, std::string& user, std::string& password,
                  std::uint32_t& port) const;
  bool HasNoServer() const { return account.server.empty(); }

  void SetTimeout(std::chrono::milliseconds timeout) { connection.SetTimeout(timeout); }

  // ---- Protocol ----
  int Open();
  bool Stat(int& count, int& size);
  bool Uidl(int n, std::string& uid);
  bool Top(int n, int lines, std::string& text);
  bool Retr(int n, std::string& text);
  bool Dele(int n);
  int Quit();
  // QUIT when connected; 0 when closed cleanly or nothing was open, -1 when QUIT was not
  // answered positively.
  int Close();
  // Ends the connection without QUIT, so the server discards the deletions of this session.
  void Release();
  // Any thread: a wait for the server ends at once, and the run fails as on a broken connection.
  void Abort() { connection.Abort(); }

  // One reply line: its ReplyCode and its tokens.
  int ReadReply(std::vector<std::string>& tokens);
  // Appends the body that follows a positive reply, terminating line included; true when the
  // terminating line was read.
  bool ReadMultiline(std::string& text);

  int GetState() const { return state.load(); }
  bool IsConnected() const { return connection.IsConnected(); }
  // The code of the last reply line read: a clean -ERR leaves the conversation in step, garbage
  // does not.
  int LastReply() const { return lastReply; }
  // Why the last Connect failed, in words for the user.
  const std::string& ConnectError() const { return connectError; }

 private:
  bool SendCommand(const std::string& command);
  bool ReadBody(const std::string& command, std::string& text);
  int ReadReplyLine(std::vector<std::string>& tokens);

  CClientSocket connection;
  std::atomic<int> state{kClosed};
  std::string connectError;
  int lastReply = 0;
};

}  // namespace qm
