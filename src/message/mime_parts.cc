#include "message/mime_parts.h"

#include <algorithm>
#include <map>
#include <optional>

#include "message/ascii.h"

namespace qm {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), AsciiLower);
  return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the text: [begin, contentEnd) without its line end, next = where the next starts.
struct Line {
  std::size_t begin;
  std::size_t contentEnd;
  std::size_t next;
};

Line LineAt(std::string_view text, std::size_t begin, std::size_t end) {
  const std::size_t lf = text.substr(0, end).find('\n', begin);
  const std::size_t stop = lf == std::string_view::npos ? end : lf;
  std::size_t contentEnd = stop;
  if (contentEnd > begin && text[contentEnd - 1] == '\r') --contentEnd;
  return {begin, contentEnd, lf == std::string_view::npos ? end : lf + 1};
}

// The fields of a part's header that shape the walk, unfolded.
struct PartHeader {
  std::string contentType;
  std::string transferEncoding;
  std::string disposition;
  std::size_t bodyStart = 0;
};

PartHeader ReadHeader(std::string_view text, std::size_t begin, std::size_t end) {
  PartHeader header;
  std::string* current = nullptr;
  std::size_t at = begin;
  while (at < end) {
    const Line line = LineAt(text, at, end);
    const std::string_view content = text.substr(line.begin, line.contentEnd - line.begin);
    at = line.next;
    if (content.empty()) break;
    if (content.front() == ' ' || content.front() == '\t') {
      if (current != nullptr) current->append(content);
      continue;
    }
    current = nullptr;
    const std::size_t colon = content.find(':');
    if (colon == std::string_view::npos) {
      // A line that is no field means the header is over and the body has begun without the
      // empty line, as careless writers send it.
      header.bodyStart = line.begin;
      return header;
    }
    const std::string_view name = Trim(content.substr(0, colon));
    std::string* field = EqualsIgnoringCase(name, "content-type") ? &header.contentType
                         : EqualsIgnoringCase(name, "content-transfer-encoding")
                             ? &header.transferEncoding
                         : EqualsIgnoringCase(name, "content-disposition") ? &header.disposition
                                                                           : nullptr;
    // The first of each counts, as readers of mail generally take it.
    if (field != nullptr && field->empty()) {
      current = field;
      field->assign(content.substr(colon + 1));
    }
  }
  header.bodyStart = at;
  return header;
}

// The parameters of a structured value after its first ";", names lower case, values unquoted.
std::vector<std::pair<std::string, std::string>> Parameters(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> params;
  std::size_t at = value.find(';');
  while (at != std::string_view::npos && at < value.size()) {
    ++at;
    const std::size_t equals = value.find('=', at);
    const std::size_t semicolon = value.find(';', at);
    if (equals == std::string_view::npos ||
        (semicolon != std::string_view::npos && semicolon < equals)) {
      at = semicolon;
      continue;
    }
    std::string name = Lower(Trim(value.substr(at, equals - at)));
    std::size_t v = equals + 1;
    while (v < value.size() && IsBlank(value[v])) ++v;
    std::string text;
    if (v < value.size() && value[v] == '"') {
      for (++v; v < value.size() && value[v] != '"'; ++v) {
        if (value[v] == '\\' && v + 1 < value.size()) ++v;
        text.push_back(value[v]);
      }
      at = value.find(';', v);
    } else {
      const std::size_t stop = value.find(';', v);
      text = std::string(Trim(
          value.substr(v, stop == std::string_view::npos ? std::string_view::npos : stop - v)));
      at = stop;
    }
    params.emplace_back(std::move(name), std::move(text));
  }
  return params;
}

std::string PercentDecoded(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int high = HexDigitValue(s[i + 1]);
      const int low = HexDigitValue(s[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(s[i]);
  }
  return out;
}

std::string MediaType(std::string_view contentType, std::string_view fallback) {
  const std::string type = Lower(Trim(contentType.substr(0, contentType.find(';'))));
  const std::size_t slash = type.find('/');
  // Without a type and a subtype the value is no media type, which makes the part plain text.
  if (slash == std::string::npos || slash == 0 || slash + 1 == type.size()) {
    return Trim(contentType).empty() ? std::string(fallback) : "text/plain";
  }
  return type;
}

class Walker {
 public:
  Walker(std::string_view text, MimeLimits limits) : text_(text), limits_(limits) {}

  void Message(std::size_t begin, std::size_t end, int depth, std::string_view defaultType,
               bool embedded = false) {
    if (Full()) return;
    const PartHeader header = ReadHeader(text_, begin, end);
    const std::string type = MediaType(header.contentType, defaultType);
    const std::string encoding = Lower(Trim(header.transferEncoding));
    const bool encoded =
        !encoding.empty() && encoding != "7bit" && encoding != "8bit" && encoding != "binary";
    if (depth < limits_.maxDepth && !encoded) {
      if (type.rfind("multipart/", 0) == 0) {
        const std::string boundary = HeaderParameter(header.contentType, "boundary");
        if (!boundary.empty() &&
            Multipart(header.bodyStart, end, boundary, depth,
                      type == "multipart/digest" ? "message/rfc822" : "text/plain", embedded)) {
          return;
        }
      } else if (type == "message/rfc822" || type == "message/global") {
        Message(header.bodyStart, end, depth + 1, "text/plain", true);
        return;
      }
    }
    MimeLeaf leaf;
    // A multipart that could not be split is read as the text it is.
    leaf.type = type.rfind("multipart/", 0) == 0 ? "text/plain" : type;
    leaf.charset = Lower(HeaderParameter(header.contentType, "charset"));
    leaf.encoding = encoding;
    leaf.fileName = HeaderParameter(header.disposition, "filename", &leaf.fileNameCharset);
    if (leaf.fileName.empty()) {
      leaf.fileName = HeaderParameter(header.contentType, "name", &leaf.fileNameCharset);
    }
    leaf.attachment = EqualsIgnoringCase(
        Trim(std::string_view(header.disposition).substr(0, header.disposition.find(';'))),
        "attachment");
    leaf.depth = depth;
    leaf.embedded = embedded;
    leaf.offset = header.bodyStart;
    leaf.length = end - header.bodyStart;
    leaves_.push_back(std::move(leaf));
  }

  std::vector<MimeLeaf> Take() { return std::move(leaves_); }

 private:
  bool Full() const { return leaves_.size() >= limits_.maxLeaves; }

  // Whether the line is a delimiter of `boundary`; `closing` tells the last one.
  static bool IsDelimiter(std::string_view line, std::string_view boundary, bool& closing) {
    if (line.size() < boundary.size() + 2 || line[0] != '-' || line[1] != '-' ||
        line.substr(2, boundary.size()) != boundary) {
      return false;
    }
    std::string_view rest = line.substr(2 + boundary.size());
    closing = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
    if (closing) rest.remove_prefix(2);
    return Trim(rest).empty();
  }

  // Walks the parts between the delimiters; false when the body has no delimiter at all.
  bool Multipart(std::size_t begin, std::size_t end, std::string_view boundary, int depth,
                 std::string_view defaultType, bool embedded) {
    std::optional<std::size_t> partStart;
    bool found = false;
    for (std::size_t at = begin; at < end && !Full();) {
      const Line line = LineAt(text_, at, end);
      bool closing = false;
      if (IsDelimiter(text_.substr(line.begin, line.contentEnd - line.begin), boundary, closing)) {
        found = true;
        if (partStart) {
          // The line break before a delimiter belongs to the delimiter.
          std::size_t partEnd = line.begin;
          if (partEnd > *partStart && text_[partEnd - 1] == '\n') --partEnd;
          if (partEnd > *partStart && text_[partEnd - 1] == '\r') --partEnd;
          Message(*partStart, std::max(partEnd, *partStart), depth + 1, defaultType, embedded);
        }
        if (closing) return true;
        partStart = line.next;
      }
      at = line.next;
    }
    if (partStart && !Full()) Message(*partStart, end, depth + 1, defaultType, embedded);
    return found;
  }

  std::string_view text_;
  MimeLimits limits_;
  std::vector<MimeLeaf> leaves_;
};

}  // namespace

std::vector<MimeLeaf> WalkMimeParts(std::string_view message, MimeLimits limits) {
  Walker walker(message, limits);
  walker.Message(0, message.size(), 0, "text/plain");
  return walker.Take();
}

std::string HeaderParameter(std::string_view value, std::string_view name, std::string* charset) {
  const std::string wanted = Lower(name);
  if (charset != nullptr) charset->clear();
  std::map<int, std::string> pieces;  // RFC 2231 continuations by their number
  for (const auto& [key, text] : Parameters(value)) {
    if (key == wanted) {
      if (charset != nullptr) charset->clear();
      return text;
    }
    if (key.size() <= wanted.size() || key.compare(0, wanted.size(), wanted) != 0 ||
        key[wanted.size()] != '*') {
      continue;
    }
    // "name*" (one extended value), "name*N" or "name*N*" (the Nth piece, extended or not).
    std::string_view rest = std::string_view(key).substr(wanted.size() + 1);
    const bool extended = rest.empty() || rest.back() == '*';
    if (!rest.empty() && extended) rest.remove_suffix(1);
    int number = 0;
    if (!rest.empty()) {
      if (rest.size() > 3 ||
          !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        continue;
      }
      number = std::stoi(std::string(rest));
    }
    std::string_view piece = text;
    if (extended && number == 0) {
      // charset'language'value: the value is bytes of that charset, left for the caller.
      const std::size_t first = piece.find('\'');
      const std::size_t second =
          first == std::string_view::npos ? first : piece.find('\'', first + 1);
      if (second != std::string_view::npos) {
        if (charset != nullptr) charset->assign(piece.substr(0, first));
        piece.remove_prefix(second + 1);
      }
    }
    pieces[number] = extended ? PercentDecoded(piece) : std::string(piece);
  }
  std::string joined;
  for (int expected = 0; const auto& [number, piece] : pieces) {
    if (number != expected++) break;
    joined += piece;
  }
  return joined;
}

}  // namespace qm
