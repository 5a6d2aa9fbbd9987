#include "pop3client/reply_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "message/ascii.h"

namespace qm {

int ClassifyReply(const std::vector<std::string>& tokens) {
  if (tokens.empty()) return kReplyNone;
  if (tokens[0] == "+OK") return kReplyOk;
  if (tokens[0] == "-ERR") return kReplyErr;
  if (tokens.size() == 1 && tokens[0] == ".") return kReplyDot;
  return kReplyOther;
}

bool CReplyLineReader::CountLineBytes(std::size_t count) {
  length_ += count;
  if (length_ <= kMaxLineBytes) return true;
  overflowed_ = true;
  pendingCr_ = false;
  // Give the memory back: the line may have been tens of thousands of empty tokens.
  std::vector<std::string>().swap(tokens_);
  std::string().swap(current_);
  return false;
}

void CReplyLineReader::EndToken() {
  tokens_.push_back(std::move(current_));
  current_.clear();
}

std::size_t CReplyLineReader::Feed(std::string_view data) {
  if (done_ || overflowed_) return 0;
  const std::size_t size = data.size();
  std::size_t i = 0;
  while (i < size) {
    const char c = data[i];
    if (pendingCr_) {
      pendingCr_ = false;
      if (c == '\n') {
        if (!current_.empty()) EndToken();
        done_ = true;
        return i + 1;
      }
      // The CR was data after all; `c` is not consumed yet and is looked at afresh below.
      if (!CountLineBytes(1)) return i;
      current_.push_back('\r');
    }
    if (c == '\r') {
      pendingCr_ = true;
      ++i;
    } else if (c == ' ') {
      ++i;
      if (!CountLineBytes(1)) return i;
      EndToken();
    } else {
      std::size_t end = i + 1;
      while (end < size && data[end] != ' ' && data[end] != '\r') ++end;
      const std::size_t room = kMaxLineBytes - length_;
      if (end - i > room) {
        // Consume exactly the first byte too many, so that how much an abandoned line swallowed
        // does not depend on how it was chunked.
        CountLineBytes(room + 1);
        return i + room + 1;
      }
      current_.append(data.data() + i, end - i);
      length_ += end - i;
      i = end;
    }
  }
  return size;
}

void CReplyLineReader::Reset() {
  tokens_.clear();
  current_.clear();
  length_ = 0;
  pendingCr_ = false;
  done_ = false;
  overflowed_ = false;
}

CMultilineReader::State CMultilineReader::Next(State state, char c) {
  if (c == '\r') return state == State::Dot ? State::DotCr : State::Cr;
  switch (state) {
    case State::Cr:
      return c == '\n' ? State::LineStart : State::InLine;
    case State::LineStart:
      return c == '.' ? State::Dot : State::InLine;
    case State::DotCr:
      return c == '\n' ? State::Done : State::InLine;
    case State::Done:
      return State::Done;
    case State::InLine:
    case State::Dot:
      break;
  }
  return State::InLine;
}

std::size_t CMultilineReader::Feed(std::string_view data, std::string& text) {
  if (state_ == State::Done || data.empty()) return 0;
  const char* const begin = data.data();
  const char* const end = begin + data.size();
  const char* p = begin;
  // Only a CR can move the reader towards the terminator, so the bytes of a line in between are
  // skipped in one search and copied in one append at the end.
  while (p < end) {
    if (state_ == State::InLine) {
      const void* cr = std::memchr(p, '\r', static_cast<std::size_t>(end - p));
      if (cr == nullptr) {
        p = end;
        break;
      }
      p = static_cast<const char*>(cr) + 1;
      state_ = State::Cr;
      continue;
    }
    state_ = Next(state_, *p++);
    if (state_ == State::Done) break;
  }
  const std::size_t consumed = static_cast<std::size_t>(p - begin);
  const std::size_t from = text.size();
  text.append(begin, consumed);
  // A NUL would cut the message short wherever it is later handled as a C string.
  char* const appended = text.data() + from;
  char* const appendedEnd = appended + consumed;
  for (char* nul = appended;
       (nul = static_cast<char*>(
            std::memchr(nul, '\0', static_cast<std::size_t>(appendedEnd - nul)))) != nullptr;) {
    *nul++ = ' ';
  }
  return consumed;
}

namespace {

// Calls `take` with each line of `body` up to its terminating line, without the line end.
template <typename Take>
void ForEachLine(std::string_view body, Take take) {
  while (!body.empty()) {
    const std::size_t end = body.find("\r\n");
    const std::string_view line = body.substr(0, end);
    if (line == ".") return;
    take(line);
    if (end == std::string_view::npos) return;
    body.remove_prefix(end + 2);
  }
}

std::string_view FirstWord(std::string_view& line) {
  const std::size_t start = std::min(line.find_first_not_of(' '), line.size());
  line.remove_prefix(start);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view word = line.substr(0, end);
  line.remove_prefix(end);
  return word;
}

}  // namespace

std::vector<ListingEntry> ParseListing(std::string_view body) {
  std::vector<ListingEntry> entries;
  ForEachLine(body, [&entries](std::string_view line) {
    const std::string_view digits = FirstWord(line);
    if (digits.empty() || line.empty() || line.front() != ' ') return;
    std::int64_t number = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return;
      number = number * 10 + (c - '0');
      if (number > std::numeric_limits<int>::max()) return;
    }
    const std::string_view value = FirstWord(line);
    if (number == 0 || value.empty()) return;
    entries.push_back({static_cast<int>(number), std::string(value)});
  });
  return entries;
}

bool ListsCapability(std::string_view body, std::string_view capability) {
  bool listed = false;
  ForEachLine(body, [&](std::string_view line) {
    listed = listed || EqualsIgnoringCase(FirstWord(line), capability);
  });
  return listed;
}

}  // namespace qm
