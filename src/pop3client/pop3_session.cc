#include "pop3client/pop3_session.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "message/decode.h"
#include "platform/report.h"
#include "platform/secret_command.h"
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

// A size token: decimal digits only; saturates instead of overflowing.
bool ParseSize(const std::string& token, std::int64_t& size) {
  if (token.empty()) return false;
  std::int64_t value = 0;
  for (const char c : token) {
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    value = value > (std::numeric_limits<std::int64_t>::max() - digit) / 10
                ? std::numeric_limits<std::int64_t>::max()
                : value * 10 + digit;
  }
  size = value;
  return true;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size())
      group |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<std::uint8_t>(bytes[i + 2]);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return out;
}

// What a server said after its reply code, for the log: bounded, since it comes from a peer.
std::string ServerWords(const std::vector<std::string>& tokens, std::size_t first) {
  constexpr std::size_t kMaxWords = 300;
  std::string words;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    if (!words.empty()) words += ' ';
    words += tokens[i];
  }
  if (words.size() > kMaxWords) words = words.substr(0, kMaxWords) + "...";
  return words;
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
  aborted = false;
  // Message numbers and their sizes belong to one session.
  sizesListed = false;
  listedSizes.clear();
  const bool oauth = account.auth == AuthMethod::XOAuth2;
  if (oauth && account.security == ConnectionSecurity::Plain) {
    // An access token opens the whole mail account, often more than mail: never in clear text.
    Log("MSV : XOAUTH2 for " + user + " needs security tls or starttls; " + host +
        " is not contacted.");
    SetStatusText("XOAUTH2には暗号化接続 (SSL/TLSかSTARTTLS) が必要です ( " + host + " )");
    return kNotSecured;
  }
  // The secret is fetched before connecting: the helper may take a while, and the server's
  // patience with a silent client is short.
  std::string secret = account.password;
  if ((oauth || !account.passwordCommand.empty()) && !FetchSecret(oauth, secret)) {
    return kNoCredentials;
  }
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

  const int login = oauth ? LogInWithToken(secret) : LogInWithPassword(secret);
  if (login != kLoggedIn) return login;
  state = kLoggedInState;
  Log("MSV : Authorization successful. ( " + user + " on " + host + " )");
  return kLoggedIn;
}

bool CPop3Session::FetchSecret(bool token, std::string& secret) {
  const std::string& command = token ? account.tokenCommand : account.passwordCommand;
  const std::string what = token ? "token" : "password";
  const std::string about = " for " + account.user + " ( " + account.server + " )";
  std::string problem;
  std::string errorOutput;
  if (command.empty()) {
    problem = "is not set";
  } else {
    SetStatusText((token ? "トークンを取得中 ( " : "パスワードを取得中 ( ") + account.server +
                  " )");
    SecretCommandResult result = RunSecretCommand(command, connection.Timeout(), &aborted);
    // A control byte would end or split the command line, or the XOAUTH2 string, it goes in.
    const bool clean = std::none_of(result.secret.begin(), result.secret.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 && c != '\t';
    });
    if (result.ok && clean) {
      secret = std::move(result.secret);
      return true;
    }
    problem = result.ok ? "printed control characters" : std::move(result.problem);
    errorOutput = std::move(result.errorOutput);
  }
  Log("MSV : The " + what + " command" + about + " " + problem + ".");
  if (!errorOutput.empty()) Log("MSV : Its standard error: " + errorOutput);
  SetStatusText((token ? "トークンを取得できません ( " : "パスワードを取得できません ( ") +
                account.server + " )");
  return false;
}

int CPop3Session::LogInWithPassword(const std::string& password) {
  const std::string& host = account.server;
  const std::string& user = account.user;
  std::vector<std::string> tokens;
  SendCommand("USER " + user + "\r\n");
  if (ReadReply(tokens) != kReplyOk) {
    Log("MSV : User " + user + " fails to login. ( " + host + " )");
    Close();
    return kLoginRefused;
  }
  SendCommand("PASS " + password + "\r\n");
  if (ReadReply(tokens) != kReplyOk) {
    Log("MSV : Password for " + user + " is not incorrect. ( " + host + " )");
    Close();
    return kLoginRefused;
  }
  return kLoggedIn;
}

int CPop3Session::LogInWithToken(const std::string& token) {
  const std::string& host = account.server;
  const std::string& user = account.user;
  std::vector<std::string> tokens;
  // The command alone, then the credentials after the server's empty challenge: some servers
  // do not take them on the command line.
  SendCommand("AUTH XOAUTH2\r\n");
  int reply = ReadReply(tokens);
  if (tokens.empty() || tokens[0] != "+") {
    if (reply != kReplyNone) {
      const std::string words = ServerWords(tokens, 1);
      Log("MSV : " + host + " does not offer XOAUTH2." +
          (words.empty() ? "" : " ( " + words + " )"));
    }
    SetStatusText("XOAUTH2で認証できません ( " + host + " )");
    Close();
    return kLoginRefused;
  }
  constexpr char kSeparator = '\x01';
  SendCommand(
      Base64("user=" + user + kSeparator + "auth=Bearer " + token + kSeparator + kSeparator) +
      "\r\n");
  reply = ReadReply(tokens);
  if (reply == kReplyOk) return kLoggedIn;
  std::string why;
  if (!tokens.empty() && tokens[0] == "+") {
    // A challenge after the credentials carries the error, as JSON in base64; an empty answer
    // ends the exchange, and the server's -ERR follows.
    if (tokens.size() > 1) DecodeBase64(tokens[1], why);
    SendCommand("\r\n");
    reply = ReadReply(tokens);
    if (why.size() > 300) why = why.substr(0, 300) + "...";
  }
  if (reply == kReplyErr) why += (why.empty() ? "" : " ") + ServerWords(tokens, 1);
  Log("MSV : Token for " + user + " is refused. ( " + host + (why.empty() ? "" : ": " + why) +
      " )");
  SetStatusText("XOAUTH2で認証できません ( " + host + " )");
  Close();
  return kLoginRefused;
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

bool CPop3Session::List(int n, std::int64_t& size) {
  SendCommand("LIST " + std::to_string(n) + "\r\n");
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk || tokens.size() < 3) return false;
  if (LeadingNumber(tokens[1]) != n) return false;
  return ParseSize(tokens[2], size);
}

// A command that could not be sent shows in the reading of its answer, which records the broken
// connection as the last reply.
bool CPop3Session::Top(int n, int lines, std::string& text) {
  SendTop(n, lines);
  return ReadTop(text);
}

bool CPop3Session::SendTop(int n, int lines) {
  return SendCommand("TOP " + std::to_string(n) + " " + std::to_string(lines) + "\r\n");
}

bool CPop3Session::ReadTop(std::string& text) { return ReadBody(text); }

bool CPop3Session::Retr(int n, std::string& text) {
  SendRetr(n);
  return ReadRetr(n, text);
}

bool CPop3Session::SendRetr(int n) { return SendCommand("RETR " + std::to_string(n) + "\r\n"); }

bool CPop3Session::ReadRetr(int n, std::string& text) {
  std::int64_t size = -1;
  if (const auto listed = listedSizes.find(n); listed != listedSizes.end()) size = listed->second;
  text.clear();
  // Room for the whole message at once: a string that grows by doubling holds up to three times
  // the message for a moment. The stored form is a little larger than LIST says.
  if (size > 0 && static_cast<std::uint64_t>(size) <= messageLimit) {
    text.reserve(static_cast<std::size_t>(size) + static_cast<std::size_t>(size) / 32 + 16);
  }
  return ReadBody(text);
}

bool CPop3Session::SkipAnswer(bool withBody) {
  std::vector<std::string> tokens;
  const int reply = ReadReply(tokens);
  if (reply == kReplyNone) return false;
  if (!withBody || reply != kReplyOk) return true;
  std::string text;
  return ReadMultiline(text) || droppedBytes > 0;
}

bool CPop3Session::Pipelines() {
  SendCommand("CAPA\r\n");
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk) return false;
  std::string body;
  // A capability list is a few lines; one that runs on is not believed.
  return ReadMultilineUpTo(body, 64 * 1024) && ListsCapability(body, "PIPELINING");
}

CPop3Session::Listing CPop3Session::ReadListing(const std::string& command, int count,
                                                std::string& body) {
  SendCommand(command);
  std::vector<std::string> tokens;
  const int reply = ReadReply(tokens);
  if (reply == kReplyErr) return Listing::Refused;
  if (reply != kReplyOk) return Listing::Failed;
  // A line per message: its number, a blank, and a unique id of at most 70 characters or a
  // size. More than that is not a listing of this maildrop; its rest is read and dropped.
  constexpr std::size_t kMaxLineBytes = 96;
  constexpr std::size_t kMaxListingBytes = std::size_t{64} << 20;
  const std::size_t limit =
      std::min(static_cast<std::size_t>(count) * kMaxLineBytes + 16, kMaxListingBytes);
  if (ReadMultilineUpTo(body, limit)) return Listing::Listed;
  return droppedBytes > 0 && connection.IsConnected() ? Listing::Refused : Listing::Failed;
}

CPop3Session::Listing CPop3Session::ListUids(int count,
                                             std::unordered_map<int, std::string>& uids) {
  std::string body;
  const Listing listing = ReadListing("UIDL\r\n", count, body);
  if (listing != Listing::Listed) return listing;
  for (ListingEntry& entry : ParseListing(body)) {
    // The first line for a number counts; a server that sends two is not believed twice.
    if (entry.number <= count) uids.try_emplace(entry.number, std::move(entry.value));
  }
  return listing;
}

CPop3Session::Listing CPop3Session::ListSizes(int count) {
  std::string body;
  const Listing listing = ReadListing("LIST\r\n", count, body);
  if (listing != Listing::Listed) return listing;
  listedSizes.clear();
  for (const ListingEntry& entry : ParseListing(body)) {
    std::int64_t size = -1;
    if (entry.number <= count && ParseSize(entry.value, size)) {
      listedSizes.try_emplace(entry.number, size);
    }
  }
  sizesListed = true;
  return listing;
}

bool CPop3Session::TooLargeToFetch(int n, const std::string& uid) {
  std::int64_t size = -1;
  if (const auto known = tooLarge.find(uid); known != tooLarge.end()) {
    size = known->second;
  } else if (sizesListed) {
    if (const auto listed = listedSizes.find(n); listed != listedSizes.end()) size = listed->second;
  } else if (List(n, size)) {
    listedSizes[n] = size;
  }
  if (size < 0 || static_cast<std::uint64_t>(size) <= messageLimit) return false;
  LogTooLarge(n, uid, size);
  return true;
}

bool CPop3Session::DroppedAsTooLarge(int n, const std::string& uid) {
  if (droppedBytes == 0 || !connection.IsConnected()) return false;
  tooLarge[uid] = droppedBytes;
  LogTooLarge(n, uid, droppedBytes);
  return true;
}

void CPop3Session::LogTooLarge(int n, const std::string& uid, std::int64_t size) const {
  Log("MSV : Message " + std::to_string(n) + " ( " + uid + " ) on " + account.server + " has " +
      std::to_string(size) + " bytes, more than the limit of " + std::to_string(messageLimit) +
      "; it stays on the server.");
}

bool CPop3Session::ReadBody(std::string& text) {
  droppedBytes = 0;
  text.clear();
  std::vector<std::string> tokens;
  if (ReadReply(tokens) != kReplyOk) return false;
  return ReadMultiline(text);
}

bool CPop3Session::Dele(int n) {
  SendDele(n);
  return ReadDele();
}

bool CPop3Session::SendDele(int n) { return SendCommand("DELE " + std::to_string(n) + "\r\n"); }

bool CPop3Session::ReadDele() {
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
  return ReadMultilineUpTo(text, messageLimit);
}

bool CPop3Session::ReadMultilineUpTo(std::string& text, std::size_t limit) {
  droppedBytes = 0;
  // The stored form may be a little larger than the size LIST gave (doubled leading dots, the
  // terminating line, servers that count a line end as one byte): the margin keeps a message that
  // LIST let through from being dropped for that.
  const std::size_t keep = limit + limit / 16;
  CMultilineReader reader;
  // Past the limit the rest is read to the terminating line, one receive at a time, and dropped:
  // the conversation stays in step, so the other messages are still fetched in this run.
  std::string dropped;
  std::string* sink = &text;
  std::int64_t size = 0;
  for (;;) {
    const std::size_t consumed = reader.Feed(connection.Pending(), *sink);
    connection.Consume(consumed);
    if (sink == &dropped) {
      size += static_cast<std::int64_t>(consumed);
      dropped.clear();
      // A body that never ends would hold the mailbox's retrievals for good.
      if (static_cast<std::uint64_t>(size) > std::uint64_t{limit} * kMaxDrainedLimits) {
        Log("MSV : A message from " + connection.HostName() + " did not end within " +
            std::to_string(size) + " bytes; the connection is dropped.");
        connection.Disconnect();
        return false;
      }
    }
    if (sink == &text && text.size() > keep) {
      size = static_cast<std::int64_t>(text.size());
      std::string().swap(text);
      sink = &dropped;
    }
    if (reader.Done()) {
      if (sink == &text) return true;
      droppedBytes = size;
      return false;
    }
    if (connection.Receive() < 1) return false;
  }
}

}  // namespace qm
