#include "pop3server/pop_session.h"

#include "platform/report.h"
#include "pop3server/command_line.h"
#include "store/mailbox.h"

namespace qm {

namespace {

constexpr std::string_view kOk = "+OK\r\n";
constexpr std::string_view kErr = "-ERR\r\n";
// RFC 1939's words for an update state that failed.
constexpr std::string_view kQuitFailed = "-ERR some deleted messages not removed\r\n";
constexpr std::string_view kTerminator = "\r\n.\r\n";
// The same in both states: everything here is always offered, and USER and PASS to everyone.
// RESP-CODES only tells the client that a reply text starting with "[" is a code.
constexpr std::string_view kCapabilities =
    "+OK\r\n"
    "TOP\r\n"
    "USER\r\n"
    "RESP-CODES\r\n"
    "UIDL\r\n"
    "IMPLEMENTATION Quillmoor-Mail-Filter\r\n"
    ".\r\n";

std::string WithoutLineEnd(std::string_view reply) {
  return std::string(reply.substr(0, reply.size() - 2));
}

}  // namespace

CPopSession::CPopSession(IPopSessionHost& sessionHost) : host(sessionHost) {}

CPopSession::~CPopSession() { End(); }

void CPopSession::End() {
  if (state == 1 && mailbox != nullptr) mailbox->CloseMaildrop();
  state = 0;
  mailbox = nullptr;
  closed = true;
}

void CPopSession::Receive(std::string_view bytes) {
  splitter.Feed(bytes, [this](std::string_view line, bool tooLong) {
    // Nothing after QUIT is answered, even when it came in the same segment.
    if (closed) return;
    if (tooLong) {
      Reply(kErr);
      return;
    }
    HandleLine(line);
  });
}

void CPopSession::HandleLine(std::string_view line) {
  const std::vector<std::string> tokens = TokenizeCommand(line);
  if (tokens.empty()) return;
  if (state == 0) {
    Authorization(tokens);
  } else {
    Transaction(tokens);
  }
}

void CPopSession::Authorization(const std::vector<std::string>& tokens) {
  const std::string& command = tokens[0];
  if (command == "USER") {
    if (tokens.size() >= 2) {
      userName = tokens[1];
      userGiven = true;
      Reply(kOk);
    } else {
      userGiven = false;
      Reply(kErr);
    }
  } else if (command == "PASS") {
    Pass(tokens);
  } else if (command == "CAPA") {
    Reply(kCapabilities);
  } else if (command == "QUIT") {
    Reply(kOk);
    closed = true;
    host.Close();
  } else {
    Reply(kErr);
  }
}

void CPopSession::Pass(const std::vector<std::string>& tokens) {
  if (!userGiven || tokens.size() < 2) {
    Reply(kErr);
    return;
  }
  int index = -1;
  CMailbox* chosen = host.FindLogin(userName, tokens[1], index);
  if (chosen == nullptr) {
    Log("POP : Autorization failed. ( " + userName + " )");
    host.LoginFailed();
    Reply(kErr);
    return;
  }
  Log("POP : Autorization success. ( " + chosen->Name() + " )");
  host.LoginAccepted(*chosen, index);
  chosen->ResetCounters();
  chosen->OpenMaildrop();
  mailbox = chosen;
  state = 1;
  Reply(kOk);
}

void CPopSession::Transaction(const std::vector<std::string>& tokens) {
  const std::string& command = tokens[0];
  const std::size_t count = tokens.size();
  auto number = [&tokens](std::size_t i) { return CommandNumber(tokens[i]); };

  if (command == "STAT") {
    int messages = 0;
    std::uint64_t octets = 0;
    mailbox->MaildropStat(messages, octets);
    const std::string reply =
        "+OK " + std::to_string(messages) + " " + std::to_string(octets) + "\r\n";
    Log("POP : STAT request received. Reply : " + WithoutLineEnd(reply));
    Reply(reply);
  } else if (command == "LIST") {
    Log("POP : LIST request received");
    if (count == 1) {
      std::vector<int> numbers;
      std::vector<std::uint64_t> sizes;
      mailbox->MaildropList(numbers, sizes);
      // One buffer for the whole listing: a large maildrop would otherwise cost a send per line.
      std::string reply(kOk);
      for (std::size_t i = 0; i < numbers.size(); ++i) {
        reply += std::to_string(numbers[i]) + " " + std::to_string(sizes[i]) + "\r\n";
      }
      reply += ".\r\n";
      Reply(reply);
    } else {
      const int n = number(1);
      const std::uint64_t size = mailbox->MaildropSize(n);
      Reply(size != 0 ? "+OK " + std::to_string(n) + " " + std::to_string(size) + "\r\n"
                      : std::string(kErr));
    }
  } else if (command == "RETR") {
    std::string text;
    if (count >= 2 && mailbox->MaildropRetrieve(number(1), text)) {
      // One send: a status line sent apart from the text would wait for the client's delayed
      // acknowledgement (some 40 ms per message) before the text may follow.
      Reply(std::string(kOk) + text);
    } else {
      Reply(kErr);
    }
    Log("POP : RETR " + (count >= 2 ? tokens[1] : std::string()) + " request received. ");
  } else if (command == "DELE") {
    const std::string_view reply = count >= 2 && mailbox->MaildropDelete(number(1)) ? kOk : kErr;
    Reply(reply);
    Log("POP : DELE request received. Reply : " + WithoutLineEnd(reply));
  } else if (command == "NOOP") {
    Reply(kOk);
  } else if (command == "CAPA") {
    Reply(kCapabilities);
  } else if (command == "RSET") {
    mailbox->MaildropReset();
    Reply(kOk);
  } else if (command == "TOP") {
    const std::string text =
        count >= 3 ? mailbox->MaildropTop(number(1), number(2)) : std::string();
    if (text.empty()) {
      Reply(kErr);
      return;
    }
    // A text that already is the whole message ends with the terminating line; a second one
    // would be read as the reply to the client's next command. One send, as for RETR.
    const bool whole =
        text.size() >= kTerminator.size() &&
        text.compare(text.size() - kTerminator.size(), kTerminator.size(), kTerminator) == 0;
    Reply(std::string(kOk) + (whole ? text : text + std::string(kTerminator)));
    Log("POP : TOP " + std::to_string(number(1)) + " request received. ");
  } else if (command == "UIDL") {
    Log("POP : UIDL request received. ");
    if (count == 1) {
      std::vector<int> numbers;
      std::vector<std::string> uidls;
      mailbox->MaildropUidlList(numbers, uidls);
      std::string reply(kOk);
      for (std::size_t i = 0; i < numbers.size(); ++i) {
        reply += std::to_string(numbers[i]) + " " + uidls[i] + "\r\n";
      }
      reply += ".\r\n";
      Reply(reply);
    } else {
      const int n = number(1);
      const std::string uidl = mailbox->MaildropUidl(n);
      Reply(!uidl.empty() ? "+OK " + std::to_string(n) + " " + uidl + "\r\n" : std::string(kErr));
    }
  } else if (command == "QUIT") {
    if (mailbox->MaildropCommit()) {
      Reply(kOk);
    } else {
      // The client must not take the mail for deleted: it will be offered again.
      Log("POP : QUIT could not remove the deleted messages. ( " + mailbox->Name() + " )");
      Reply(kQuitFailed);
    }
    closed = true;
    host.Close();
  } else {
    Reply(kErr);
  }
}

}  // namespace qm
