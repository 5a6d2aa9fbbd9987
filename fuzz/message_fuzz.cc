// Feeds arbitrary bytes to everything that reads message text: the message model and its walks,
// the decoders on their own, and the conversion to the stored form. Besides the sanitizers'
// findings it stops on results that break what the headers promise, since a decoder that quietly
// returns nonsense is as much a fault as one that crashes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/decode.h"
#include "message/mail_message.h"
#include "message/stored_form.h"
#include "platform/code_page.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "message_fuzz: broken promise: %s\n", what);
  std::abort();
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A reversed dotted quad as a blocklist query wants it: four parts of one to three digits.
bool IsDottedQuad(std::string_view s) {
  int parts = 0;
  std::size_t digits = 0;
  for (char c : s) {
    if (IsDigit(c)) {
      if (++digits > 3) return false;
    } else if (c == '.' && digits > 0 && parts < 3) {
      ++parts;
      digits = 0;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

bool IsHostText(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' ||
                    c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// Every walk step consumes at least one byte of its subject, so a walk that outlasts its subject
// would never end.
void WalkReceived(qm::CMailMessage& message) {
  message.ResetReceivedWalk();
  const std::size_t limit = message.Text().size() + 1;
  std::size_t steps = 0;
  std::string address;
  while (message.NextReceivedAddress(address) != 0) {
    Check(IsDottedQuad(address), "a Received address is not a dotted quad");
    Check(++steps <= limit, "the Received walk does not end");
  }
}

void WalkUrls(qm::CMailMessage& message) {
  const int decoded = message.DecodeBody();
  Check(decoded == (message.Body().empty() ? 0 : 1), "DecodeBody() disagrees with its body");
  const std::size_t limit = message.Body().size() + 1;
  std::size_t steps = 0;
  std::string host;
  while (message.NextUrlHost(host) != 0) {
    Check(IsHostText(host), "a link host holds characters outside the host pattern");
    Check(++steps <= limit, "the link walk does not end");
  }
}

void ExerciseMessage(qm::CMailMessage& message) {
  Check(message.HeaderLength() <= message.Text().size(), "the header is longer than the text");

  std::string body;
  Check(message.DecodeBody(body) == 1, "DecodeBody(output) fails on a message with text");
  Check(qm::IsUtf8(body), "the decoded body is not UTF-8");

  std::string header;
  Check(message.DecodedHeaderText(header) == 1, "DecodedHeaderText failed");
  Check(qm::IsUtf8(header), "the decoded header is not UTF-8");
  for (const std::string* text :
       {&message.Subject(), &message.From(), &message.SenderName(), &message.SenderAddress()}) {
    Check(qm::IsUtf8(*text), "a decoded header value is not UTF-8");
  }

  std::int64_t seconds = 0;
  message.ReceivedDate(seconds);

  WalkReceived(message);
  WalkUrls(message);
  Check(message.Body() == body, "the two forms of DecodeBody give different bodies");

  std::string shown;
  Check(message.DecodeShownText(shown) == 1, "DecodeShownText fails on a message with text");
  Check(qm::IsUtf8(shown), "the text shown is not UTF-8");

  std::string from;
  message.GetField("From", from);
  qm::AddressParts parts;
  if (qm::SplitAddress(from, parts) == 1) {
    Check(parts.address == parts.local + "@" + parts.domain, "SplitAddress joined badly");
  }

  // A copy carries the header table and the decoded sender, and walks on its own.
  qm::CMailMessage copy(message);
  Check(copy.Subject() == message.Subject() && copy.From() == message.From(),
        "a copy lost the decoded header");
  WalkReceived(copy);
  WalkUrls(copy);
}

void ExerciseDecoders(std::string_view raw) {
  std::string output;

  qm::DecodeBase64(raw, output);
  Check(output.size() <= raw.size() / 4 * 3, "DecodeBase64 made more bytes than its groups hold");
  Check(output.find('\0') == std::string::npos, "DecodeBase64 kept a NUL byte");

  qm::DecodeQuotedPrintable(raw, output);
  Check(output.size() <= raw.size(), "DecodeQuotedPrintable grew its input");

  const int words = qm::DecodeEncodedWords(raw, output);
  Check(words == 0 || words == 1, "DecodeEncodedWords returned neither 0 nor 1");

  Check(qm::IsUtf8(output), "DecodeEncodedWords made text that is not UTF-8");

  const int jis = qm::JisToShiftJis(raw, output);
  Check(jis == 0 || jis == 1, "JisToShiftJis returned neither 0 nor 1");
  Check(qm::JisToUtf8(raw, output) == jis, "the two ISO-2022-JP conversions disagree on the end");
  Check(qm::IsUtf8(output), "JisToUtf8 made text that is not UTF-8");

  // The first line names a charset, the rest is text in it.
  const std::size_t newline = raw.find('\n');
  const std::string_view charset = raw.substr(0, newline == std::string_view::npos ? 0 : newline);
  const std::string_view text = raw.substr(charset.size());
  output = qm::TextToUtf8(charset, text);
  Check(qm::IsUtf8(output), "TextToUtf8 made text that is not UTF-8");
  Check(text.find('\0') != std::string_view::npos || output.find('\0') == std::string::npos,
        "TextToUtf8 made a NUL byte");
  std::string inPlace(text);
  qm::ConvertToUtf8(charset, inPlace);
  Check(inPlace == output, "ConvertToUtf8 and TextToUtf8 disagree");
  const std::string repaired = qm::RepairUtf8(raw);
  Check(qm::IsUtf8(repaired) && (!qm::IsUtf8(raw) || repaired == raw),
        "RepairUtf8 left text that is not UTF-8, or changed UTF-8");
  const std::string cut = qm::CutUtf8(raw, raw.size() / 2);
  Check(cut.size() <= raw.size() / 2 && raw.substr(0, cut.size()) == cut,
        "CutUtf8 is no prefix within its limit");
  qm::ContentTypeCharset(raw);
}

// The stored form is what every other part of the program reads, so its framing must hold for
// any file: CR LF line ends, no NUL, stuffed dots and exactly one terminating "." line.
void CheckStoredForm(std::string_view stored) {
  Check(stored.size() >= 3 && stored.substr(stored.size() - 3) == ".\r\n",
        "the stored form does not end with the terminator");
  Check(stored.find('\0') == std::string_view::npos, "the stored form holds a NUL byte");
  std::size_t lineStart = 0;
  while (lineStart < stored.size()) {
    const std::size_t lf = stored.find('\n', lineStart);
    Check(lf != std::string_view::npos && lf > lineStart && stored[lf - 1] == '\r',
          "a stored line does not end with CR LF");
    const std::string_view line = stored.substr(lineStart, lf - 1 - lineStart);
    const bool last = lf + 1 == stored.size();
    if (last) {
      Check(line == ".", "the last stored line is not the terminator");
    } else if (!line.empty() && line.front() == '.') {
      Check(line.size() >= 2 && line[1] == '.', "a stored line starting with a dot is not stuffed");
    }
    lineStart = lf + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);

  qm::CMailMessage message;
  Check(message.Parse(raw) == 1, "Parse failed");
  ExerciseMessage(message);

  ExerciseDecoders(raw);

  const std::string stored = qm::ToStoredForm(raw);
  CheckStoredForm(stored);
  // Parsed into the same object, as a message list reuses its messages.
  Check(message.Parse(stored) == 1, "Parse of the stored form failed");
  ExerciseMessage(message);
  return 0;
}
