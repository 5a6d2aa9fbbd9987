// One mail client's POP3 dialogue with the local server: the authorization and transaction states
// and every command's reply, over bytes, apart from the socket it came on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "pop3server/line_splitter.h"

namespace qm {

class CMailbox;

// What a session needs from the connection and the program around it.
class IPopSessionHost {
 public:
  virtual ~IPopSessionHost() = default;
  virtual void Send(std::string_view bytes) = 0;
  // The client said QUIT: the connection is to be closed once the reply is out.
  virtual void Close() = 0;
  // The mailbox or dustbox whose local account this is, and the position of its main mailbox.
  virtual CMailbox* FindLogin(const std::string& user, const std::string& password, int& index) = 0;
  // Called before "-ERR" goes out for a wrong password; may wait to slow down guessing.
  virtual void LoginFailed() {}
  // Runs between a successful password and the opening of the maildrop: the on-demand
  // retrieval and the end of the new-mail indication.
  virtual void LoginAccepted(CMailbox& mailbox, int index) {
    (void)mailbox;
    (void)index;
  }
};

class CPopSession {
 public:
  explicit CPopSession(IPopSessionHost& host);
  // Releases the maildrop of a session that ends without QUIT, discarding its deletions.
  ~CPopSession();
  CPopSession(const CPopSession&) = delete;
  CPopSession& operator=(const CPopSession&) = delete;

  static constexpr std::string_view kGreeting = "+OK POP3 server ready\r\n";

  // Handles the bytes a client sent; replies go to the host.
  void Receive(std::string_view bytes);
  // Handles one command line (without its CR LF).
  void HandleLine(std::string_view line);
  // The end of the connection, however it came: releases the maildrop without applying the
  // client's deletions.
  void End();

  int State() const { return state; }
  CMailbox* Mailbox() const { return mailbox; }

 private:
  void Authorization(const std::vector<std::string>& tokens);
  void Transaction(const std::vector<std::string>& tokens);
  void Pass(const std::vector<std::string>& tokens);
  void Reply(std::string_view text) { host.Send(text); }

  IPopSessionHost& host;
  CLineSplitter splitter;
  int state = 0;
  bool userGiven = false;
  bool closed = false;
  std::string userName;
  CMailbox* mailbox = nullptr;
};

}  // namespace qm
