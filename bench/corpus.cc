#include "corpus.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <string_view>
#include <vector>

namespace qm::bench {

namespace {

constexpr std::string_view kToJis = "\x1B$B";
constexpr std::string_view kToAscii = "\x1B(B";

// Uses the engine's raw output only: its sequence is fixed by the standard, while the library's
// distributions differ between implementations and would give each compiler its own corpus.
class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}

  int Between(int low, int high) {
    const auto span = static_cast<std::uint64_t>(high - low + 1);
    return low + static_cast<int>(engine_() % span);
  }
  bool Chance(int percent) { return Between(1, 100) <= percent; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[engine_() % N];
  }

 private:
  std::mt19937_64 engine_;
};

// JIS X 0208 code points, row in the high byte and cell in the low byte.
using JisText = std::vector<std::uint16_t>;

constexpr std::uint16_t kIdeographicComma = 0x2122;
constexpr std::uint16_t kIdeographicFullStop = 0x2123;
constexpr std::uint16_t kProlongedSound = 0x213C;

std::uint16_t JisPoint(int row, int cell) { return static_cast<std::uint16_t>(row << 8 | cell); }
std::uint16_t Hiragana(Random& random) { return JisPoint(0x24, random.Between(0x21, 0x73)); }
std::uint16_t Katakana(Random& random) { return JisPoint(0x25, random.Between(0x21, 0x76)); }
// Level 1 kanji: rows 0x30 to 0x4F, the last row ending at cell 0x53.
std::uint16_t Kanji(Random& random) {
  const int row = random.Between(0x30, 0x4F);
  return JisPoint(row, random.Between(0x21, row == 0x4F ? 0x53 : 0x7E));
}

// Shaped like prose: kanji stems with kana endings, now and then a katakana loan word.
void AppendWord(Random& random, JisText& text) {
  if (random.Chance(15)) {
    const int length = random.Between(2, 6);
    for (int i = 0; i < length; ++i) {
      text.push_back(i > 0 && random.Chance(15) ? kProlongedSound : Katakana(random));
    }
    return;
  }
  const int stem = random.Between(1, 3);
  for (int i = 0; i < stem; ++i) text.push_back(Kanji(random));
  const int ending = random.Between(0, 4);
  for (int i = 0; i < ending; ++i) text.push_back(Hiragana(random));
}

JisText Phrase(Random& random, int characters) {
  JisText text;
  while (static_cast<int>(text.size()) < characters) {
    AppendWord(random, text);
    if (random.Chance(12)) text.push_back(kIdeographicComma);
  }
  text.resize(static_cast<std::size_t>(characters));
  return text;
}

// One run, closed again, as mailers write it so that every line starts and ends in ASCII.
void AppendJis(std::string& out, const JisText& text) {
  out += kToJis;
  for (const std::uint16_t point : text) {
    out.push_back(static_cast<char>(point >> 8));
    out.push_back(static_cast<char>(point & 0xFF));
  }
  out += kToAscii;
}

std::string Jis(const JisText& text) {
  std::string out;
  AppendJis(out, text);
  return out;
}

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      const auto byte = k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u;
      group = group << 8 | byte;
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out.push_back(k <= n ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=');
    }
  }
  return out;
}

std::vector<std::string> Base64Lines(std::string_view bytes) {
  const std::string encoded = Base64(bytes);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < encoded.size(); i += 76) lines.push_back(encoded.substr(i, 76));
  return lines;
}

// Soft line breaks keep every encoded line within 76 characters, never splitting an escape.
std::vector<std::string> QuotedPrintableLines(const std::vector<std::string>& textLines) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  std::vector<std::string> lines;
  for (const std::string& text : textLines) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      const bool last = i + 1 == text.size();
      std::string piece;
      if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
        piece.push_back(static_cast<char>(c));
      } else {
        piece = {'=', kHex[c >> 4], kHex[c & 0xF]};
      }
      if (line.size() + piece.size() > 75) {
        lines.push_back(line + "=");
        line.clear();
      }
      line += piece;
    }
    lines.push_back(line);
  }
  return lines;
}

std::string Letters(Random& random, int low, int high) {
  std::string out;
  const int length = random.Between(low, high);
  for (int i = 0; i < length; ++i) out.push_back(static_cast<char>('a' + random.Between(0, 25)));
  return out;
}

std::string Domain(Random& random) {
  static constexpr std::array<std::string_view, 9> kTopLevel = {
      "com", "net", "org", "jp", "co.jp", "ne.jp", "or.jp", "info", "biz"};
  return Letters(random, 4, 10) + "." + std::string(random.Pick(kTopLevel));
}

std::string Mailbox(Random& random, const std::string& domain) {
  std::string local = Letters(random, 3, 10);
  if (random.Chance(30)) local += std::to_string(random.Between(1, 999));
  return local + "@" + domain;
}

std::string Url(Random& random) {
  static constexpr std::array<std::string_view, 10> kHostPrefix = {
      "www", "mail", "shop", "news", "cdn", "img", "click", "track", "secure", "m"};
  std::string url = random.Chance(70) ? "https://" : "http://";
  url += std::string(random.Pick(kHostPrefix)) + "." + Domain(random);
  const int segments = random.Between(0, 4);
  for (int i = 0; i < segments; ++i) url += "/" + Letters(random, 2, 12);
  if (random.Chance(40)) {
    url += "?id=" + std::to_string(random.Between(1000, 999999)) + "&utm_source=mail";
  }
  return url;
}

std::string Address(Random& random) {
  return std::to_string(random.Between(1, 223)) + "." + std::to_string(random.Between(0, 255)) +
         "." + std::to_string(random.Between(0, 255)) + "." +
         std::to_string(random.Between(1, 254));
}

// "Mon, 3 Jun 2024 15:00:00 +0900" for an instant shown in a zone `offsetMinutes` east of UTC.
std::string MailDate(std::chrono::sys_seconds instant, int offsetMinutes) {
  static constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  using namespace std::chrono;
  const sys_seconds local = instant + minutes(offsetMinutes);
  const sys_days day = floor<days>(local);
  const year_month_day date(day);
  const hh_mm_ss time(local - day);
  const int offset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s, %u %s %d %02d:%02d:%02d %c%02d%02d",
                kWeekdays[weekday(day).c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()), offsetMinutes < 0 ? '-' : '+',
                offset / 60, offset % 60);
  return buffer;
}

int Zone(Random& random) {
  static constexpr std::array<int, 8> kZones = {540, 540, 540, 540, 0, -420, 60, -300};
  return random.Pick(kZones);
}

std::string EncodedWord(const JisText& text) {
  return "=?ISO-2022-JP?B?" + Base64(Jis(text)) + "?=";
}

class MessageBuilder {
 public:
  MessageBuilder(Random& random, GeneratedMessage& message) : random_(random), message_(message) {}

  void Build() {
    using namespace std::chrono;
    const std::string ourDomain = Domain(random_);
    const std::string recipient = Mailbox(random_, ourDomain);
    const std::string senderDomain = Domain(random_);
    const std::string sender = Mailbox(random_, senderDomain);
    const sys_seconds arrival = sys_days(2024y / January / 1) + days(random_.Between(0, 365)) +
                                seconds(random_.Between(0, 86399));

    std::vector<std::string> header;
    header.push_back("Return-Path: <" + sender + ">");
    header.push_back("Delivered-To: " + recipient);
    AddReceived(header, arrival, ourDomain, senderDomain, recipient);
    if (random_.Chance(50)) {
      header.push_back("Authentication-Results: mx." + ourDomain +
                       ";\r\n\tspf=pass smtp.mailfrom=" + senderDomain +
                       ";\r\n\tdkim=pass header.d=" + senderDomain);
    }
    header.push_back("Message-ID: <" + std::to_string(random_.Between(100000, 999999)) +
                     Letters(random_, 8, 8) + "@" + senderDomain + ">");
    header.push_back("Date: " + MailDate(arrival - seconds(random_.Between(5, 120)), 540));
    header.push_back("From: " + FromValue(sender));
    header.push_back("To: " + recipient);
    header.push_back("Subject: " + EncodedWord(Phrase(random_, random_.Between(6, 12))) + "\r\n " +
                     EncodedWord(Phrase(random_, random_.Between(6, 12))));
    header.push_back("MIME-Version: 1.0");
    header.push_back("Content-Type: text/plain; charset=\"ISO-2022-JP\"");

    const int kind = random_.Between(1, 10);
    message_.encoding = kind <= 4   ? BodyEncoding::kSevenBit
                        : kind <= 7 ? BodyEncoding::kBase64
                                    : BodyEncoding::kQuotedPrintable;
    static constexpr std::array<const char*, 3> kEncodingNames = {"7bit", "base64",
                                                                  "quoted-printable"};
    header.push_back(std::string("Content-Transfer-Encoding: ") +
                     kEncodingNames[static_cast<std::size_t>(message_.encoding)]);
    if (random_.Chance(30)) header.push_back("X-Mailer: Example Mailer 3.1");

    std::size_t headerSize = 2;
    for (const std::string& field : header) headerSize += field.size() + 2;
    const int total = random_.Between(2 * 1024, 20 * 1024);
    const int bodySize = std::max(512, total - static_cast<int>(headerSize));
    // The transfer encodings grow the text; aim the text so the encoded body lands near the size.
    const int textSize = message_.encoding == BodyEncoding::kBase64            ? bodySize * 3 / 4
                         : message_.encoding == BodyEncoding::kQuotedPrintable ? bodySize * 9 / 10
                                                                               : bodySize;
    const std::vector<std::string> text = BodyText(static_cast<std::size_t>(textSize));
    for (const std::string& line : text) message_.jisBody += line + "\r\n";

    std::vector<std::string> body;
    switch (message_.encoding) {
      case BodyEncoding::kSevenBit:
        body = text;
        break;
      case BodyEncoding::kBase64:
        body = Base64Lines(message_.jisBody);
        break;
      case BodyEncoding::kQuotedPrintable:
        body = QuotedPrintableLines(text);
        break;
    }
    for (const std::string& line : body) message_.encodedBody += line + "\r\n";

    std::string& stored = message_.stored;
    stored.reserve(headerSize + message_.encodedBody.size() + 64);
    for (const std::string& field : header) stored += field + "\r\n";
    stored += "\r\n";
    for (const std::string& line : body) {
      if (!line.empty() && line.front() == '.') stored.push_back('.');
      stored += line + "\r\n";
    }
    stored += ".\r\n";
  }

 private:
  // Newest relay first; each hop handed the message on a few seconds before the next took it.
  void AddReceived(std::vector<std::string>& header, std::chrono::sys_seconds arrival,
                   const std::string& ourDomain, const std::string& senderDomain,
                   const std::string& recipient) {
    const int hops = random_.Between(3, 6);
    std::chrono::sys_seconds when = arrival;
    std::string by = "mx" + std::to_string(random_.Between(1, 4)) + "." + ourDomain;
    for (int hop = 0; hop < hops; ++hop) {
      const bool origin = hop == hops - 1;
      const std::string from =
          origin ? "mail." + senderDomain : Letters(random_, 3, 8) + "." + Domain(random_);
      std::string field;
      if (origin && random_.Chance(50)) {
        // A submission from a client without a name, which gives its address twice.
        const std::string client = Address(random_);
        field = "Received: from [" + client + "] (unknown [" + client + "])";
        message_.receivedAddresses += 2;
      } else {
        field = "Received: from " + from + " (" + from + " [" + Address(random_) + "])";
        message_.receivedAddresses += 1;
      }
      field += "\r\n\tby " + by + " (Postfix) with ESMTP id " + Letters(random_, 10, 10);
      if (hop == 0) field += "\r\n\tfor <" + recipient + ">";
      field += "; " + MailDate(when, Zone(random_));
      header.push_back(field);
      by = from;
      when -= std::chrono::seconds(random_.Between(1, 30));
    }
  }

  std::string FromValue(const std::string& sender) {
    const int style = random_.Between(1, 10);
    if (style <= 5) {
      return EncodedWord(Phrase(random_, random_.Between(3, 6))) + " <" + sender + ">";
    }
    std::string name = Letters(random_, 3, 8) + " " + Letters(random_, 4, 9);
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    if (style <= 8) return "\"" + name + "\" <" + sender + ">";
    return name + " <" + sender + ">";
  }

  std::string LinkLine() {
    ++message_.links;
    const std::string url = Url(random_);
    if (random_.Chance(50)) return url;
    return Jis(Phrase(random_, random_.Between(3, 8))) + " " + url + " " +
           Jis(Phrase(random_, random_.Between(3, 8)));
  }

  std::vector<std::string> BodyText(std::size_t size) {
    std::vector<std::string> lines;
    std::size_t length = 0;
    auto add = [&](std::string line) {
      length += line.size() + 2;
      lines.push_back(std::move(line));
    };
    int linksLeft = random_.Between(3, 8);

    // A name with the honorific that opens almost every Japanese letter.
    JisText greeting = Phrase(random_, random_.Between(2, 4));
    greeting.push_back(JisPoint(0x4D, 0x4D));
    add(Jis(greeting));
    add("");
    while (length < size) {
      const int paragraphLines = random_.Between(2, 6);
      for (int i = 0; i < paragraphLines; ++i) {
        JisText prose = Phrase(random_, random_.Between(18, 34));
        if (i + 1 == paragraphLines) prose.push_back(kIdeographicFullStop);
        add(Jis(prose));
      }
      if (linksLeft > 0 && random_.Chance(50)) {
        add(LinkLine());
        --linksLeft;
      }
      // A leading dot that the stored form has to stuff.
      if (random_.Chance(3)) add("...");
      add("");
    }
    for (; linksLeft > 0; --linksLeft) add(LinkLine());
    add("-- ");
    add(Jis(Phrase(random_, random_.Between(4, 8))));
    add("Tel: 03-" + std::to_string(random_.Between(1000, 9999)) + "-" +
        std::to_string(random_.Between(1000, 9999)));
    return lines;
  }

  Random& random_;
  GeneratedMessage& message_;
};

}  // namespace

Corpus MakeCorpus(std::size_t count, std::uint64_t seed) {
  Random random(seed);
  Corpus corpus;
  corpus.messages.resize(count);
  for (GeneratedMessage& message : corpus.messages) {
    MessageBuilder(random, message).Build();
    corpus.totalBytes += message.stored.size();
  }
  return corpus;
}

const Corpus& SharedCorpus() {
  static const Corpus corpus = MakeCorpus(3000, 20240603);
  return corpus;
}

}  // namespace qm::bench
