// One message in memory: its stored text (CR LF line ends, dot-stuffed, ending with the "."
// line), its header table, the decoded subject and sender, the decoded body (decoded text is
// UTF-8), the state of the walks over its Received fields and its links, and its mark. Built
// wherever a message is looked at and never shared between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message/html.h"
#include "message/mail_header.h"
#include "message/mail_mark.h"
#include "platform/pattern.h"

namespace qm {

struct AddressParts {
  std::string name;
  std::string address;  // local + "@" + domain
  std::string local;
  std::string domain;
};

// Splits "Name <local@domain>" or "local@domain". An empty text clears the parts and gives 0; a
// text of neither form gives 0 and leaves the parts as they were. The last "@" separates the local
// part from the domain; the name loses surrounding blanks and double quotes.
int SplitAddress(std::string_view text, AddressParts& parts);

class CMailMessage : public MailHeader {
 public:
  CMailMessage() = default;
  // Copies the header table and the decoded subject and sender; the body, the walks and the mark
  // start afresh.
  CMailMessage(const CMailMessage& other);
  CMailMessage& operator=(const CMailMessage& other);
  ~CMailMessage() override = default;

  // Sets the text and decodes Subject and From; always 1. The sender is split after its folds
  // are undone, so that a display name on the line before its address is kept.
  virtual int Parse(std::string_view messageText);

  const std::string& Subject() const { return subject; }
  const std::string& From() const { return from; }
  const std::string& SenderName() const { return senderName; }
  const std::string& SenderAddress() const { return senderAddress; }
  // The display name, or the address when the sender has no name.
  const std::string& DisplaySender() const;

  // Every field as "Name: decoded value\r\n", in header order. Returns 1.
  int DecodedHeaderText(std::string& output);

  // Decodes the body into `body` and restarts the link walk. A message that is no multipart
  // is decoded as a whole (DecodeWholeBody). Otherwise the body is the text of each text part,
  // part by part in the order they stand, each with its own transfer encoding and charset; each
  // part starts on a line of its own. 1 when there is text and the body is not empty.
  int DecodeBody();
  // The same into `output`; 1 whenever there is text.
  int DecodeBody(std::string& output);
  // The whole body as one text: the message's own Content-Transfer-Encoding, then the charset
  // of its Content-Type (or ISO-2022-JP runs and UTF-8 or code page 932 when it names none),
  // whatever its parts. 1 whenever there is text.
  int DecodeWholeBody(std::string& output);
  const std::string& Body() const { return body; }
  // The text a reader is shown (UTF-8): the best text part (BestTextPart), HTML as plain text
  // (HtmlToText); a message without parts decoded as a whole, and as plain text when it is
  // HTML; the whole body (DecodeWholeBody) when no part is text/plain or text/html. 1 whenever
  // there is text.
  int DecodeShownText(std::string& output);

  // Seconds since 1970 of the date in the first Received field, read as Japan time and converted
  // as local time. 1 when found; `seconds` untouched otherwise.
  int ReceivedDate(std::int64_t& seconds);
  void ResetReceivedWalk();
  // The next IPv4 address of the Received fields, newest relay first, written reversed
  // (192.0.2.1 gives "1.2.0.192") as a blocklist query wants it. 0 when there are no more.
  int NextReceivedAddress(std::string& address);
  // The host of the next link in the decoded body, in the order the links stand: every
  // "http://" or "https://" in the text, and in HTML parts also the URL of each href and src
  // attribute (HtmlLinkWalk). A link that both find at one place is given once. 0 when there are
  // no more.
  int NextUrlHost(std::string& host);

  CMailMark mark;

 private:
  struct FoundLink {
    std::size_t position = 0;
    std::string host;
  };
  int DecodeBodyText(std::string& output, std::vector<std::pair<std::size_t, std::size_t>>* html);
  void FindHtmlLink();

  std::uint32_t urlPos = 0;
  std::string body;
  // The HTML parts of `body` ([begin, end) each), the walk over their attributes and the next
  // link of each kind not yet given.
  std::vector<std::pair<std::size_t, std::size_t>> htmlRanges;
  std::size_t htmlRangeIndex = 0;
  HtmlLinkWalk htmlWalk;
  std::optional<FoundLink> nextTextLink;
  std::optional<FoundLink> nextHtmlLink;
  std::size_t receivedIndex = 0;
  // Where the next address search in `receivedValue` starts; npos moves on to the next field.
  std::size_t receivedCursor = std::string::npos;
  std::string receivedValue;
  std::string subject;
  std::string from;
  std::string senderName;
  std::string senderAddress;

  // This message's copies of the process-wide walk patterns.
  BRegexp urlHandle;
  BRegexp addressHandle;
};

}  // namespace qm
