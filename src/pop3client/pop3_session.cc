#include "pop3client/pop3_session.h"

#include <cstdint>
#include <limits>

#include "platform/report.h"
#include "pop3client/reply_reader.h"

namespace qm {

namespace {

// The leading decimal digits of a reply token (an optional sign first), 0 when there are none;
// saturates instead of overflowing.
int LeadingNumber(const std::string& token) {
  std::size_t i = 0;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) negative = token[i++] == '-';
  std::int64_t value = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    value = value * 10 + (token[i] - '0');
    if (value > std::numeric_limits<int>::max()) {
      value = std::numeric_limits<int>::max();
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace

CPop3Session::CPop3Session(std::unique_ptr<IServerStream> stream) : connection(std::move(stream)) {}

CPop3Session::~CPop3Session() {
  if (state.load() != kClosed) Close();
}

void CPop3Session::SetAccount(const std::string& host, std::uint32_t port, const std::string& user,
                              const std::string& password) {
  account.server = host;
  account.port = port;
  account.user = user;
  account.password = password;
}

bool CPop3Session::GetAccount(std::string& host, std::string& user, std::string& password,
                              std::uint32_t& port) const {
  host = account.server;
  user = account.user;
  password = account.password;
  port = account.port;
  return !host.empty();
}

int CPop3Session::Open() {
  const std::string& host = account.server;
  const std::string& user = account.user;
  SetStatusText("接続中 ( " + host + " )");
  Log("MSV : Connect to " + host + ":" + std::to_string(static_cast<int>(account.port)) + " ( " +
      user + " )");
  // A connection left from an abandoned run is replaced.
  connection.Disconnect();
  state = kClosed;
  connection.SetSecurity(account.security, account.caFile);
  if (!connection.Connect(host, account.port, connectError)) return kNoConnection;

  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk) {
    Close();
    return kBadGreeting;
  }
  state = kConnected;
  if (account.security == ConnectionSecurity::StartTls) {
    // Never a fall-back to clear text: the password goes out only inside TLS.
    SendCommand("STLS\r\n");
    if (const int reply = ReadReply(tokens); reply != kReplyOk) {
      // No reply at all is a broken connection, already logged as such, not a refusal.
      if (reply != kReplyNone) Log("MSV : " + host + " does not offer STLS.");
      SetStatusText("暗号化接続に失敗しました ( " + host + " )");
      Close();
      return kNotSecured;
    }
    if (!connection.StartTls()) {
      Release();
      return kNotSecured;
    }
  }
  SetStatusText("認証中 ( " + host + " )");

  SendCommand("USER " + user + "\r\n");
  if (ReadReply(tokens) != kReplyOk) {
    Log("MSV : User " + user + " fails to login. ( " + host + " )");
    Close();
    return kLoginRefused;
  }
  SendCommand("PASS " + account.password + "\r\n");
  if (ReadReply(tokens) != kReplyOk) {
    Log("MSV : Password for " + user + " is not incorrect. ( " + host + " )");
    Close();
    return kLoginRefused;
  }
  state = kLoggedInState;
  Log("MSV : Authorization successful. ( " + user + " on " + host + " )");
  return kLoggedIn;
}

bool CPop3Session::Stat(int& count, int& size) {
  SendCommand("STAT\r\n");
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk || tokens.size() < 3) return false;
  count = LeadingNumber(tokens[1]);
  size = LeadingNumber(tokens[2]);
  return true;
}

bool CPop3Session::Uidl(int n, std::string& uid) {
  SendCommand("UIDL " + std::to_string(n) + "\r\n");
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk || tokens.size() < 3) return false;
  // A reply for another message would pair a unique id with the wrong message.
  if (LeadingNumber(tokens[1]) != n) return false;
  uid = tokens[2];
  return true;
}

bool CPop3Session::Top(int n, int lines, std::string& text) {
  return ReadBody("TOP " + std::to_string(n) + " " + std::to_string(lines) + "\r\n", text);
}

bool CPop3Session::Retr(int n, std::string& text) {
  return ReadBody("RETR " + std::to_string(n) + "\r\n", text);
}

bool CPop3Session::ReadBody(const std::string& command, std::string& text) {
  text.clear();
  SendCommand(command);
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk) return false;
  return ReadMultiline(text);
}

bool CPop3Session::Dele(int n) {
  SendCommand("DELE " + std::to_string(n) + "\r\n");
  std::vector<std::string> tokens;
  return ReadReply(tokens) == kReplyOk;
}

int CPop3Session::Quit() {
  SendCommand("QUIT\r\n");
  std::vector<std::string> tokens;
  return ReadReply(tokens);
}

int CPop3Session::Close() {
  Log("MSV : Close connection to " + account.server + ".");
  if (state.load() == kClosed) {
    connection.Disconnect();
    return 0;
  }
  const int reply = Quit();
  connection.Disconnect();
  state = kClosed;
  return reply == kReplyOk ? 0 : -1;
}

void CPop3Session::Release() {
  connection.Disconnect();
  state = kClosed;
}

bool CPop3Session::SendCommand(const std::string& command) { return connection.Send(command); }

int CPop3Session::ReadReply(std::vector<std::string>& tokens) {
  lastReply = ReadReplyLine(tokens);
  return lastReply;
}

int CPop3Session::ReadReplyLine(std::vector<std::string>& tokens) {
  tokens.clear();
  CReplyLineReader reader;
  for (;;) {
    if (connection.Pending().empty() && connection.Receive() < 1) return kReplyNone;
    connection.Consume(reader.Feed(connection.Pending()));
    if (reader.Overflowed()) {
      Log("MSV : A reply line from " + connection.HostName() + " is longer than " +
          std::to_string(CReplyLineReader::kMaxLineBytes) + " bytes.");
      // The rest of that line would be taken for the next reply.
      connection.Disconnect();
      return kReplyNone;
    }
    if (reader.Done()) break;
  }
  tokens = reader.Tokens();
  return ClassifyReply(tokens);
}

bool CPop3Session::ReadMultiline(std::string& text) {
  CMultilineReader reader;
  for (;;) {
    connection.Consume(reader.Feed(connection.Pending(), text));
    if (reader.Done()) return true;
    if (text.size() > kMaxMessageBytes) {
      Log("MSV : A message from " + connection.HostName() + " is larger than " +
          std::to_string(kMaxMessageBytes) + " bytes.");
      connection.Disconnect();
      return false;
    }
    if (connection.Receive() < 1) return false;
  }
}

}  // namespace qm
