#include "message/mail_message.h"

#include <utility>

#include "message/body_parts.h"
#include "message/decode.h"
#include "platform/code_page.h"

namespace qm {

namespace {

std::string_view StripNameDecoration(std::string_view s) {
  auto decoration = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
  while (!s.empty() && decoration(s.front())) s.remove_prefix(1);
  while (!s.empty() && decoration(s.back())) s.remove_suffix(1);
  return s;
}

// A folded value on one line: each line break that a blank follows goes, the blank stays. The
// address patterns do not match across a line break, so a name folded away from its address
// would be lost.
std::string Unfolded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 2 < s.size() && s[i + 1] == '\n' &&
        (s[i + 2] == ' ' || s[i + 2] == '\t')) {
      ++i;
      continue;
    }
    out.push_back(s[i]);
  }
  return out;
}

BRegexp Compiled(const char* pattern) {
  static const char kBlank[] = " ";
  BRegexp handle;
  BMatch(pattern, kBlank, kBlank + 1, handle);
  return handle;
}

}  // namespace

int SplitAddress(std::string_view text, AddressParts& parts) {
  if (text.empty()) {
    parts = AddressParts{};
    return 0;
  }
  static constexpr const char* kNamed = "/(.*)<(.*)@(.*)>/";
  static constexpr const char* kBare = "/\\A(.*)@(.*)\\Z/";
  // Compiled once for the process; every call matches through its own copy.
  static const BRegexp named = Compiled(kNamed);
  static const BRegexp bare = Compiled(kBare);

  const char* begin = text.data();
  const char* end = begin + text.size();
  BRegexp handle = named;
  if (BMatch(kNamed, begin, end, handle) > 0) {
    parts.name.assign(StripNameDecoration(handle.Group(1)));
    parts.local.assign(handle.Group(2));
    parts.domain.assign(handle.Group(3));
  } else {
    handle = bare;
    if (BMatch(kBare, begin, end, handle) <= 0) return 0;
    parts.name.clear();
    parts.local.assign(handle.Group(1));
    parts.domain.assign(handle.Group(2));
  }
  parts.address = parts.local + "@" + parts.domain;
  return 1;
}

CMailMessage::CMailMessage(const CMailMessage& other)
    : MailHeader(other),
      subject(other.subject),
      from(other.from),
      senderName(other.senderName),
      senderAddress(other.senderAddress) {}

CMailMessage& CMailMessage::operator=(const CMailMessage& other) {
  if (this != &other) {
    MailHeader::operator=(other);
    subject = other.subject;
    from = other.from;
    senderName = other.senderName;
    senderAddress = other.senderAddress;
  }
  return *this;
}

int CMailMessage::Parse(std::string_view messageText) {
  SetText(messageText);
  std::string value;
  GetField("Subject", value);
  subject = DecodeFieldValue(value);
  GetField("From", value);
  from = DecodeFieldValue(value);
  AddressParts parts;
  if (SplitAddress(Unfolded(from), parts)) {
    senderName = std::move(parts.name);
    senderAddress = std::move(parts.address);
  } else {
    senderName.clear();
    senderAddress.clear();
  }
  return 1;
}

const std::string& CMailMessage::DisplaySender() const {
  return senderName.empty() ? senderAddress : senderName;
}

int CMailMessage::DecodedHeaderText(std::string& output) {
  output.clear();
  EnsureParsed();
  for (std::size_t i = 0; i < fieldNames.size(); ++i) {
    output += UndeclaredToUtf8(fieldNames[i]);
    output += ": ";
    output += DecodeFieldValue(fieldValues[i]);
    output += "\r\n";
  }
  return 1;
}

int CMailMessage::DecodeBody(std::string& output) { return DecodeBodyText(output, nullptr); }

int CMailMessage::DecodeBodyText(std::string& output,
                                 std::vector<std::pair<std::size_t, std::size_t>>* html) {
  if (html != nullptr) html->clear();
  if (!EnsureParsed()) return 0;
  const std::vector<MimeLeaf> leaves = StoredMessageParts(text);
  if (IsSinglePart(leaves)) {
    DecodeWholeBody(output);
    if (html != nullptr && leaves.front().type == "text/html") html->emplace_back(0, output.size());
    return 1;
  }
  output.clear();
  for (const MimeLeaf& leaf : leaves) {
    // Text attachments count as well: a reader opens an attached page or note with one click,
    // and mail that hides its links in one is the mail the link hosts are looked up for.
    if (!leaf.IsText()) continue;
    // A link at the end of one part must not run on into the next.
    if (!output.empty() && output.back() != '\n') output += "\r\n";
    const std::size_t start = output.size();
    output += PartText(text, leaf);
    if (html != nullptr && leaf.type == "text/html") html->emplace_back(start, output.size());
  }
  return 1;
}

int CMailMessage::DecodeShownText(std::string& output) {
  if (!EnsureParsed()) return 0;
  const std::vector<MimeLeaf> leaves = StoredMessageParts(text);
  const std::size_t best = IsSinglePart(leaves) ? 0 : BestTextPart(leaves);
  if (best == std::string::npos) return DecodeWholeBody(output);
  if (IsSinglePart(leaves)) {
    DecodeWholeBody(output);
  } else {
    output = PartText(text, leaves[best]);
  }
  if (leaves[best].type == "text/html") output = HtmlToText(output);
  return 1;
}

int CMailMessage::DecodeWholeBody(std::string& output) {
  if (!EnsureParsed()) return 0;
  // The body runs from the end of the header to the terminating "." line, which is dropped; the
  // line end before it stays. A text too short to hold both has no body.
  std::string_view copy;
  if (text.size() >= static_cast<std::size_t>(headerLength) + 3) {
    copy = std::string_view(text).substr(headerLength, text.size() - headerLength - 3);
  }
  std::string encoding;
  GetField("Content-Transfer-Encoding", encoding);
  encoding = LowerAscii932(encoding);
  std::string contentType;
  GetField("Content-Type", contentType);
  const std::string charset = ContentTypeCharset(contentType);
  if (encoding == "base64") {
    DecodeBase64(copy, output);
  } else if (encoding == "quoted-printable") {
    DecodeQuotedPrintable(copy, output);
  } else {
    output.assign(copy);
  }
  // In place: a large body in UTF-8 or ASCII is held once, not twice.
  ConvertToUtf8(charset, output);
  return 1;
}

int CMailMessage::DecodeBody() {
  urlPos = 0;
  htmlRangeIndex = 0;
  htmlWalk = HtmlLinkWalk();
  nextTextLink.reset();
  nextHtmlLink.reset();
  if (!DecodeBodyText(body, &htmlRanges)) body.clear();
  return body.empty() ? 0 : 1;
}

}  // namespace qm
