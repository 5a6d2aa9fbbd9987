// Reads arbitrary bytes as what a POP3 server sends: reply lines, and after every positive one a
// multi-line body, as a client reads a RETR reply after another out of its receive buffer. The
// first bytes of the input choose how the stream is cut into received chunks. Besides the
// sanitizers' findings it stops when the readers break what they promise: a Feed consumes no
// more than it was given, the cut does not change what is read, tokens are the line split at its
// blanks, a body is the bytes up to the first terminator with every NUL turned into a blank, a
// listing entry is a message number and one word of its line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "pop3client/reply_reader.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "pop3_reply_fuzz: broken promise: %s\n", what);
  std::abort();
}

// What the readers made of one reply.
struct Reply {
  std::vector<std::string> tokens;
  bool lineDone = false;
  bool overflowed = false;
  bool hasBody = false;
  std::string body;
  bool bodyDone = false;
  std::size_t end = 0;  // stream offset after the reply

  bool operator==(const Reply&) const = default;
};

// Hands out the stream as a socket would: chunks of the given sizes in turn, each added to what
// the last reader left unconsumed.
class CChunker {
 public:
  CChunker(std::string_view stream, const std::vector<std::size_t>& sizes)
      : stream_(stream), sizes_(sizes) {}

  // The received bytes not consumed yet; empty when the stream has run out.
  std::string_view Pending() {
    // Sizes of zero stand for reads that gave nothing; not all of them are zero.
    while (consumed_ == received_ && received_ < stream_.size()) {
      received_ = std::min(stream_.size(), received_ + sizes_[next_++ % sizes_.size()]);
    }
    return stream_.substr(consumed_, received_ - consumed_);
  }
  bool Exhausted() const { return consumed_ == stream_.size(); }
  void Consume(std::size_t count) { consumed_ += count; }
  std::size_t Offset() const { return consumed_; }

 private:
  std::string_view stream_;
  const std::vector<std::size_t>& sizes_;
  std::size_t received_ = 0;
  std::size_t consumed_ = 0;
  std::size_t next_ = 0;
};

// The tokens a line should give, worked out another way: split at every blank, then drop a last
// token that is empty (so an empty line gives none).
std::vector<std::string> SplitAtBlanks(std::string_view line) {
  std::vector<std::string> tokens;
  std::size_t start = 0;
  for (std::size_t blank; (blank = line.find(' ', start)) != std::string_view::npos;) {
    tokens.emplace_back(line.substr(start, blank - start));
    start = blank + 1;
  }
  if (start < line.size()) tokens.emplace_back(line.substr(start));
  return tokens;
}

// Where the body starting at `start` ends, worked out another way: the reader starts as if after
// a line end, so the terminator is a leading ".\r\n" or the first "\r\n.\r\n".
std::size_t BodyEnd(std::string_view stream, std::size_t start) {
  const std::string_view rest = stream.substr(start);
  if (rest.substr(0, 3) == ".\r\n") return start + 3;
  const std::size_t at = rest.find("\r\n.\r\n");
  return at == std::string_view::npos ? std::string_view::npos : start + at + 5;
}

void CheckLine(std::string_view stream, std::size_t start, const Reply& reply) {
  const std::size_t length = reply.end - start;
  if (reply.overflowed) {
    Check(!reply.lineDone, "an abandoned line is also done");
    Check(reply.tokens.empty(), "an abandoned line kept tokens");
    Check(length == qm::CReplyLineReader::kMaxLineBytes + 1,
          "an abandoned line did not swallow exactly one byte too many");
    return;
  }
  if (!reply.lineDone) {
    Check(reply.end == stream.size(), "an unfinished line left bytes unconsumed");
    return;
  }
  const std::string_view line = stream.substr(start, length);
  Check(length >= 2 && line.substr(length - 2) == "\r\n", "a line did not end with CR LF");
  const std::string_view content = line.substr(0, length - 2);
  Check(content.size() <= qm::CReplyLineReader::kMaxLineBytes, "a line longer than the limit");
  Check(content.find("\r\n") == std::string_view::npos, "a line went past its first CR LF");
  Check(reply.tokens == SplitAtBlanks(content), "the tokens are not the line split at blanks");
}

void CheckBody(std::string_view stream, std::size_t start, const Reply& reply) {
  const std::size_t expectedEnd = BodyEnd(stream, start);
  if (!reply.bodyDone) {
    Check(expectedEnd == std::string_view::npos, "the reader missed a terminator");
    Check(reply.end == stream.size(), "an unfinished body left bytes unconsumed");
  } else {
    Check(reply.end == expectedEnd, "the body did not end at the first terminator");
    const std::string_view text = reply.body;
    Check(text == ".\r\n" || (text.size() >= 5 && text.substr(text.size() - 5) == "\r\n.\r\n"),
          "a finished body does not end with the terminator");
  }
  std::string expected(stream.substr(start, reply.end - start));
  std::replace(expected.begin(), expected.end(), '\0', ' ');
  Check(reply.body == expected, "the body is not the bytes consumed with NUL as blank");
}

// Every entry of a body read as a UIDL or LIST listing names a message and one word.
void CheckListing(const std::string& body) {
  for (const qm::ListingEntry& entry : qm::ParseListing(body)) {
    Check(entry.number > 0, "a listing entry without a message number");
    Check(!entry.value.empty() && entry.value.find(' ') == std::string::npos &&
              entry.value.find("\r\n") == std::string::npos &&
              body.find(entry.value) != std::string::npos,
          "a listing entry's word is not one word of the body");
  }
}

std::vector<Reply> ReadReplies(std::string_view stream, const std::vector<std::size_t>& sizes,
                               bool check) {
  std::vector<Reply> replies;
  CChunker chunker(stream, sizes);
  qm::CReplyLineReader line;
  qm::CMultilineReader body;
  while (!chunker.Exhausted()) {
    Reply reply;
    const std::size_t lineStart = chunker.Offset();
    line.Reset();
    Check(line.Feed({}) == 0 && !line.Done(), "an empty read changed the line reader");
    for (std::string_view pending;
         !line.Done() && !line.Overflowed() && !(pending = chunker.Pending()).empty();) {
      const std::size_t consumed = line.Feed(pending);
      Check(consumed <= pending.size(), "the line reader consumed more than it was given");
      Check(consumed == pending.size() || line.Done() || line.Overflowed(),
            "the line reader stopped early without a reason");
      chunker.Consume(consumed);
    }
    Check(!(line.Done() || line.Overflowed()) || line.Feed("x\r\n") == 0,
          "the line reader consumed after it stopped");
    reply.tokens = line.Tokens();
    reply.lineDone = line.Done();
    reply.overflowed = line.Overflowed();
    reply.end = chunker.Offset();
    if (check) CheckLine(stream, lineStart, reply);
    if (reply.overflowed) {  // a client drops such a connection
      replies.push_back(std::move(reply));
      break;
    }
    if (reply.lineDone && qm::ClassifyReply(reply.tokens) == qm::kReplyOk) {
      reply.hasBody = true;
      const std::size_t bodyStart = chunker.Offset();
      body.Reset();
      Check(body.Feed({}, reply.body) == 0 && reply.body.empty(), "an empty read made a body");
      for (std::string_view pending; !body.Done() && !(pending = chunker.Pending()).empty();) {
        const std::size_t before = reply.body.size();
        const std::size_t consumed = body.Feed(pending, reply.body);
        Check(consumed <= pending.size(), "the body reader consumed more than it was given");
        Check(consumed == pending.size() || body.Done(),
              "the body reader stopped early without a reason");
        Check(reply.body.size() == before + consumed, "the body grew by other than it consumed");
        chunker.Consume(consumed);
      }
      std::string after = reply.body;
      Check(!body.Done() || body.Feed(".\r\n", after) == 0,
            "the body reader consumed after the terminator");
      reply.bodyDone = body.Done();
      reply.end = chunker.Offset();
      if (check) {
        CheckBody(stream, bodyStart, reply);
        CheckListing(reply.body);
      }
    }
    replies.push_back(std::move(reply));
  }
  return replies;
}

}  // namespace

// The first byte says how many chunk sizes follow (1 to 8) and whether to put a line just short
// of the limit in front, so that the fuzzer can reach the limit within its input length; then
// come the sizes, each one byte (0 to 255, an empty chunk included); the rest is the stream.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = (data[0] & 7u) + 1;
  const bool longLine = (data[0] & 8u) != 0;
  if (size < 1 + count) return 0;
  std::vector<std::size_t> sizes(data + 1, data + 1 + count);
  if (std::all_of(sizes.begin(), sizes.end(), [](std::size_t s) { return s == 0; })) sizes = {1};
  if (longLine) {  // larger chunks, or a run takes too long to be worth it
    for (std::size_t& s : sizes) s *= 64;
  }

  std::string stream;
  if (longLine) stream.assign(qm::CReplyLineReader::kMaxLineBytes - 8, 'a');
  stream.append(reinterpret_cast<const char*>(data) + 1 + count, size - 1 - count);

  const std::vector<Reply> cut = ReadReplies(stream, sizes, true);
  const std::vector<Reply> whole = ReadReplies(stream, {stream.size() + 1}, false);
  Check(cut == whole, "reading in chunks and reading whole gave different replies");
  return 0;
}
