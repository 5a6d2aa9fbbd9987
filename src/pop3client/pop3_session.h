// The POP3 conversation with a mailbox's remote account: log in, STAT, UIDL and LIST (of one
// message or all), CAPA, TOP n m, RETR n, DELE n and QUIT. TOP, RETR and DELE also come in
// halves (send now, read the answer later), so that a server that pipelines can be sent several
// before the first answer; answers are read in the order the commands went out. The session also
// carries the unique-id lists that decide what a retrieval fetches (the base class).
//
// Each wait for the server is bounded by the time-out, so a silent server ends the run as a
// socket error instead of holding the retrieval thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "pop3client/client_socket.h"
#include "store/server_lists.h"

namespace qm {

class CPop3Session : public CMailboxClient {
 public:
  // The largest message fetched; a larger one is left on the server. Providers limit mail to 25
  // to 50 MB, and base64 makes 50 MB of attachments about 68 MB on the wire: twice the common
  // limits still fetches all of that, while a message is held in memory two or three times over
  // on its way to the mailbox and must fit on an ordinary desktop.
  static constexpr std::size_t kMaxMessageBytes = std::size_t{100} << 20;
  // A message over the limit is read to its end and dropped, but no further than this many times
  // the limit: a server that sends without end is cut off.
  static constexpr std::uint64_t kMaxDrainedLimits = 16;

  // Open results.
  static constexpr int kLoggedIn = 0;
  static constexpr int kNoConnection = -1;
  static constexpr int kLoginRefused = -2;
  static constexpr int kBadGreeting = -3;
  // The account asks for a secure connection and none could be made.
  static constexpr int kNotSecured = -4;
  // The token or password command gave no secret; the server was not contacted.
  static constexpr int kNoCredentials = -5;

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
  // kMaxMessageBytes unless a test sets another.
  void SetMessageLimit(std::size_t bytes) { messageLimit = bytes; }

  // ---- Protocol ----
  // Connects and logs in as the account says: USER and PASS (the password from the password
  // command when one is set), or, with AuthMethod::XOAuth2, AUTH XOAUTH2 with the access token
  // that the token command prints. XOAUTH2 is refused on a clear connection and never falls back
  // to USER and PASS. The commands run before the connection is made and are bounded by the
  // time-out.
  int Open();
  bool Stat(int& count, int& size);
  bool Uidl(int n, std::string& uid);
  // The size the server gives for message n; false when it does not tell.
  bool List(int n, std::int64_t& size);
  bool Top(int n, int lines, std::string& text);
  bool Retr(int n, std::string& text);
  bool Dele(int n);
  // The halves of Top, Retr and Dele: the command, and later its answer.
  bool SendTop(int n, int lines);
  bool ReadTop(std::string& text);
  bool SendRetr(int n);
  bool ReadRetr(int n, std::string& text);
  bool SendDele(int n);
  bool ReadDele();
  // Reads past the answer to a TOP or RETR (`withBody`) or a DELE sent earlier; false when the
  // connection failed.
  bool SkipAnswer(bool withBody);

  // Whether the server lists PIPELINING in its CAPA answer (one that does not know CAPA does
  // not pipeline).
  bool Pipelines();
  enum class Listing { Listed, Refused, Failed };
  // UIDL without argument: the unique id of each message the listing names, by number. Refused:
  // the server answered -ERR, or its listing broke the bounds; Failed: the connection broke.
  Listing ListUids(int count, std::unordered_map<int, std::string>& uids);
  // LIST without argument: the sizes are kept for TooLargeToFetch and RETR, and LIST n is not
  // asked any more in this session.
  Listing ListSizes(int count);
  int Quit();
  // QUIT when connected; 0 when closed cleanly or nothing was open, -1 when QUIT was not
  // answered positively.
  int Close();
  // Ends the connection without QUIT, so the server discards the deletions of this session.
  void Release();
  // Any thread: a wait for the server ends at once, and the run fails as on a broken connection.
  void Abort() {
    aborted = true;
    connection.Abort();
  }
  // Abort was called since the last Open.
  bool Aborted() const { return aborted; }

  // One reply line: its ReplyCode and its tokens.
  int ReadReply(std::vector<std::string>& tokens);
  // Appends the body that follows a positive reply, terminating line included; true when the
  // terminating line was read.
  bool ReadMultiline(std::string& text);

  // Before RETR n: whether message n, with unique id `uid`, is over the size limit, as LIST
  // says or as an earlier RETR of this session found out; such a message is logged and is to be
  // left alone. A server that does not tell the size leaves it to RETR to find out.
  bool TooLargeToFetch(int n, const std::string& uid);
  // After a failed RETR n: whether it failed only because the message ran over the size limit.
  // Its bytes were read to the end and dropped, so the conversation goes on; the message is
  // logged and remembered, so that this session does not read it again.
  bool DroppedAsTooLarge(int n, const std::string& uid);

  int GetState() const { return state.load(); }
  bool IsConnected() const { return connection.IsConnected(); }
  // The code of the last reply line read: a clean -ERR leaves the conversation in step, garbage
  // does not.
  int LastReply() const { return lastReply; }
  // Why the last Connect failed, in words for the user.
  const std::string& ConnectError() const { return connectError; }

 private:
  bool SendCommand(const std::string& command);
  bool ReadBody(std::string& text);
  bool ReadMultilineUpTo(std::string& text, std::size_t limit);
  Listing ReadListing(const std::string& command, int count, std::string& body);
  int ReadReplyLine(std::vector<std::string>& tokens);
  // Runs the account's token or password command; false, logged, when it gave nothing.
  bool FetchSecret(bool token, std::string& secret);
  int LogInWithPassword(const std::string& password);
  int LogInWithToken(const std::string& token);

  void LogTooLarge(int n, const std::string& uid, std::int64_t size) const;

  CClientSocket connection;
  std::atomic<int> state{kClosed};
  std::atomic<bool> aborted{false};
  std::string connectError;
  int lastReply = 0;
  std::size_t messageLimit = kMaxMessageBytes;
  // The sizes LIST gave in this session, so that RETR makes room for a message at once; all of
  // them when LIST without argument was answered (`sizesListed`).
  bool sizesListed = false;
  std::unordered_map<int, std::int64_t> listedSizes;
  // The size of the last multi-line body when it ran over the limit and was dropped, else 0.
  std::int64_t droppedBytes = 0;
  // Messages that RETR found too large, by unique id, with their sizes: where the server does
  // not tell sizes, only this keeps them from being read again.
  std::map<std::string, std::int64_t> tooLarge;
};

}  // namespace qm
