// The two readers of a POP3 client, as state machines over bytes so that they never touch a
// socket: one reply line split into tokens, and the multi-line body that follows a positive RETR
// or TOP reply. Bytes arrive in chunks of any size (one byte at a time included); each Feed
// consumes what belongs to the line or body and leaves the rest for the next reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Reply codes of a reply line.
enum ReplyCode : int {
  kReplyNone = 0,   // no line: the connection failed or closed, or the line was empty
  kReplyOk = 1,     // the first token is exactly "+OK"
  kReplyErr = -1,   // the first token is exactly "-ERR"
  kReplyOther = 2,  // any other line
  kReplyDot = 3,    // the line is exactly one token "."
};

// The code of a line split into `tokens` (case-sensitive, exact).
int ClassifyReply(const std::vector<std::string>& tokens);

// One reply line. Every blank ends the current token, which is kept even when empty (two blanks
// in a row give an empty token); CR immediately followed by LF ends the line, and the token in
// progress is kept only when it is not empty. A CR that is not followed by LF, a lone LF and a
// NUL are ordinary bytes of a token.
class CReplyLineReader {
 public:
  // Longest line kept: a server that sends more without a line end is broken or hostile.
  static constexpr std::size_t kMaxLineBytes = 65536;

  // Consumes bytes of `data` up to and including the line end, or all of it when the line goes
  // on. Returns how many bytes were consumed. Nothing is consumed once Done() or Overflowed().
  std::size_t Feed(std::string_view data);
  // The line end has been read.
  bool Done() const { return done_; }
  // More than kMaxLineBytes came without a line end; the line is abandoned.
  bool Overflowed() const { return overflowed_; }
  const std::vector<std::string>& Tokens() const { return tokens_; }
  // For the next line.
  void Reset();

 private:
  // Adds `count` bytes to the length of the line; once it is too long, abandons the line and
  // returns false.
  bool CountLineBytes(std::size_t count);
  void EndToken();

  std::vector<std::string> tokens_;
  std::string current_;
  std::size_t length_ = 0;
  bool pendingCr_ = false;
  bool done_ = false;
  bool overflowed_ = false;
};

// The body after a positive status line, up to and including the terminating line "." CR LF.
// The CR LF before the dot may be the one that ended the status line, so a reader starts as if
// it had just seen a line end. The body is kept exactly as it travels (no dot-unstuffing), except
// that every NUL byte becomes a blank.
class CMultilineReader {
 public:
  // Appends the bytes of `data` that belong to the body to `text` and returns how many were
  // consumed; consumption stops right after the terminating line. Nothing is consumed once
  // Done().
  std::size_t Feed(std::string_view data, std::string& text);
  bool Done() const { return state_ == State::Done; }
  void Reset() { state_ = State::LineStart; }

 private:
  enum class State { InLine, Cr, LineStart, Dot, DotCr, Done };
  static State Next(State state, char c);

  State state_ = State::LineStart;
};

// One line of a UIDL or LIST listing: the message number and the first word after it.
struct ListingEntry {
  int number = 0;
  std::string value;
  bool operator==(const ListingEntry&) const = default;
};

// The entries of a listing body as CMultilineReader keeps it (terminating line included). A line
// that does not start with a message number from 1 up, then blanks and a word, is skipped: a
// listing line cannot tell the message it belongs to any other way.
std::vector<ListingEntry> ParseListing(std::string_view body);

// Whether a CAPA body names `capability` (the first word of a line, in any case).
bool ListsCapability(std::string_view body, std::string_view capability);

}  // namespace qm
