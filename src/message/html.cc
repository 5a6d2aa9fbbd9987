#include "message/html.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

#include "message/ascii.h"
#include "platform/code_page.h"

namespace qm {

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHtmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool IsSlash(char c) { return c == '/' || c == '\\'; }
bool IsHostCharacter(char c) {
  return IsAlpha(c) || IsDigit(c) || c == '-' || c == '_' || c == '.';
}

bool StartsIgnoringCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

void AppendUtf8(std::uint32_t code, std::string& out) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    out += kReplacementCharacter;
  } else if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The named references that mail is written with; names are case-sensitive.
constexpr std::array<std::pair<std::string_view, std::uint32_t>, 25> kNamedReferences = {{
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},      {"quot", '"'},   {"apos", '\''},
    {"nbsp", 0xA0},    {"copy", 0xA9},    {"reg", 0xAE},    {"yen", 0xA5},   {"hellip", 0x2026},
    {"mdash", 0x2014}, {"ndash", 0x2013}, {"laquo", 0xAB},  {"raquo", 0xBB}, {"middot", 0xB7},
    {"bull", 0x2022},  {"trade", 0x2122}, {"euro", 0x20AC}, {"times", 0xD7}, {"divide", 0xF7},
    {"deg", 0xB0},     {"shy", 0xAD},     {"zwnj", 0x200C}, {"zwj", 0x200D}, {"ensp", 0x2002},
}};

// Tokens of HTML, read incrementally: the walk over links resumes between calls.
class HtmlTokenizer {
 public:
  enum class Kind { End, Text, RawText, StartTag, Attribute, TagClose, EndTag };
  struct Token {
    Kind kind = Kind::End;
    std::string_view name;  // StartTag, EndTag, Attribute
    std::string_view text;  // Text, RawText; the value of an Attribute
    std::size_t textPosition = 0;
  };

  explicit HtmlTokenizer(HtmlScanState& state)
      : pos_(state.pos),
        inTag_(state.inTag),
        rawTextEnd_(state.rawTextEnd),
        pendingRawText_(state.pendingRawText) {}

  Token Next(std::string_view html) {
    const std::size_t n = html.size();
    while (pos_ < n) {
      if (inTag_) return InTag(html);
      if (!rawTextEnd_.empty()) {
        const std::size_t close = FindRawTextEnd(html);
        Token token{Kind::RawText, {}, html.substr(pos_, close - pos_), pos_};
        pos_ = close;
        rawTextEnd_.clear();
        if (!token.text.empty()) return token;
        continue;
      }
      const std::size_t lt = html.find('<', pos_);
      if (lt == std::string_view::npos || lt > pos_) {
        const std::size_t stop = lt == std::string_view::npos ? n : lt;
        Token token{Kind::Text, {}, html.substr(pos_, stop - pos_), pos_};
        pos_ = stop;
        return token;
      }
      const std::string_view rest = html.substr(lt);
      if (rest.starts_with("<!--")) {
        const std::size_t close = html.find("-->", lt + 4);
        pos_ = close == std::string_view::npos ? n : close + 3;
        continue;
      }
      if (rest.size() >= 2 && (rest[1] == '!' || rest[1] == '?')) {
        const std::size_t close = html.find('>', lt);
        pos_ = close == std::string_view::npos ? n : close + 1;
        continue;
      }
      if (rest.size() >= 3 && rest[1] == '/' && IsAlpha(rest[2])) {
        const std::string_view name = TagName(html, lt + 2);
        const std::size_t close = html.find('>', lt + 2 + name.size());
        pos_ = close == std::string_view::npos ? n : close + 1;
        return Token{Kind::EndTag, name, {}, lt};
      }
      if (rest.size() >= 2 && IsAlpha(rest[1])) {
        const std::string_view name = TagName(html, lt + 1);
        pos_ = lt + 1 + name.size();
        inTag_ = true;
        pendingRawText_.clear();
        for (const std::string_view raw : {"script", "style", "title"}) {
          if (EqualsIgnoringCase(name, raw)) pendingRawText_ = raw;
        }
        return Token{Kind::StartTag, name, {}, lt};
      }
      // A "<" that starts no markup is text.
      pos_ = lt + 1;
      return Token{Kind::Text, {}, html.substr(lt, 1), lt};
    }
    return Token{};
  }

 private:
  static std::string_view TagName(std::string_view html, std::size_t from) {
    std::size_t end = from;
    while (end < html.size() && !IsHtmlSpace(html[end]) && html[end] != '/' && html[end] != '>') {
      ++end;
    }
    return html.substr(from, end - from);
  }

  Token InTag(std::string_view html) {
    const std::size_t n = html.size();
    while (pos_ < n && (IsHtmlSpace(html[pos_]) || html[pos_] == '/')) ++pos_;
    if (pos_ >= n || html[pos_] == '>') {
      if (pos_ < n) ++pos_;
      inTag_ = false;
      rawTextEnd_ = std::move(pendingRawText_);
      pendingRawText_.clear();
      return Token{Kind::TagClose, {}, {}, pos_};
    }
    const std::size_t nameStart = pos_;
    ++pos_;  // a name may start with "="
    while (pos_ < n && !IsHtmlSpace(html[pos_]) && html[pos_] != '/' && html[pos_] != '>' &&
           html[pos_] != '=') {
      ++pos_;
    }
    Token token{Kind::Attribute, html.substr(nameStart, pos_ - nameStart), {}, pos_};
    std::size_t at = pos_;
    while (at < n && IsHtmlSpace(html[at])) ++at;
    if (at >= n || html[at] != '=') return token;
    ++at;
    while (at < n && IsHtmlSpace(html[at])) ++at;
    if (at < n && (html[at] == '"' || html[at] == '\'')) {
      const std::size_t close = html.find(html[at], at + 1);
      const std::size_t stop = close == std::string_view::npos ? n : close;
      token.text = html.substr(at + 1, stop - at - 1);
      token.textPosition = at + 1;
      pos_ = close == std::string_view::npos ? n : close + 1;
    } else {
      std::size_t stop = at;
      while (stop < n && !IsHtmlSpace(html[stop]) && html[stop] != '>') ++stop;
      token.text = html.substr(at, stop - at);
      token.textPosition = at;
      pos_ = stop;
    }
    return token;
  }

  // Where "</script" (or the element's own name) begins, not followed by a name character.
  std::size_t FindRawTextEnd(std::string_view html) const {
    for (std::size_t at = html.find("</", pos_); at != std::string_view::npos;
         at = html.find("</", at + 2)) {
      const std::size_t after = at + 2 + rawTextEnd_.size();
      if (StartsIgnoringCase(html.substr(at + 2), rawTextEnd_) &&
          (after >= html.size() || !(IsAlpha(html[after]) || IsDigit(html[after])))) {
        return at;
      }
    }
    return html.size();
  }

  std::size_t& pos_;
  bool& inTag_;
  std::string& rawTextEnd_;
  std::string& pendingRawText_;
};

bool IsBlockElement(std::string_view name) {
  static constexpr std::array<std::string_view, 35> kBlocks = {
      "address",  "article", "aside",  "blockquote", "center", "dd",  "div", "dl",  "dt",
      "fieldset", "figure",  "footer", "form",       "h1",     "h2",  "h3",  "h4",  "h5",
      "h6",       "header",  "hr",     "li",         "main",   "nav", "ol",  "p",   "pre",
      "section",  "table",   "tbody",  "thead",      "tfoot",  "tr",  "ul",  "body"};
  return std::any_of(kBlocks.begin(), kBlocks.end(),
                     [&](std::string_view block) { return EqualsIgnoringCase(name, block); });
}

// Plain text with runs of blanks folded and line breaks where blocks begin and end.
class TextBuilder {
 public:
  void Text(std::string_view text) {
    for (const char c : text) {
      if (IsHtmlSpace(c)) {
        space = true;
        continue;
      }
      if (space && !lineStart) out.push_back(' ');
      space = false;
      lineStart = false;
      out.push_back(c);
    }
  }
  void EndLine() {
    if (!lineStart) out += "\r\n";
    lineStart = true;
    space = false;
  }
  void Break() {
    out += "\r\n";
    lineStart = true;
    space = false;
  }
  std::string Take() {
    EndLine();
    return std::move(out);
  }

 private:
  std::string out;
  bool lineStart = true;
  bool space = false;
};

}  // namespace

std::string DecodeCharacterReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    i = amp + 1;
    if (i < text.size() && text[i] == '#') {
      const bool hex = i + 1 < text.size() && AsciiLower(text[i + 1]) == 'x';
      std::size_t at = i + (hex ? 2 : 1);
      std::uint32_t code = 0;
      const std::size_t first = at;
      for (; at < text.size(); ++at) {
        const int digit = hex ? HexDigitValue(text[at]) : (IsDigit(text[at]) ? text[at] - '0' : -1);
        if (digit < 0) break;
        // Beyond the last character the number only has to stay out of range.
        code = std::min<std::uint32_t>(code * (hex ? 16 : 10) + static_cast<std::uint32_t>(digit),
                                       0x110000);
      }
      if (at == first) {
        out.push_back('&');
        continue;
      }
      if (at < text.size() && text[at] == ';') ++at;
      AppendUtf8(code, out);
      i = at;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && end - i < 16 && (IsAlpha(text[end]) || IsDigit(text[end]))) ++end;
    const std::string_view name = text.substr(i, end - i);
    const auto known = std::find_if(kNamedReferences.begin(), kNamedReferences.end(),
                                    [&](const auto& entry) { return entry.first == name; });
    if (end < text.size() && text[end] == ';' && known != kNamedReferences.end()) {
      AppendUtf8(known->second, out);
      i = end + 1;
    } else {
      out.push_back('&');
    }
  }
  return out;
}

std::string UrlAttributeHost(std::string_view decodedValue) {
  std::string url;
  url.reserve(decodedValue.size());
  for (const char c : decodedValue) {
    if (c != '\t' && c != '\r' && c != '\n') url.push_back(c);
  }
  std::string_view s = url;
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  std::size_t at = 0;
  if (StartsIgnoringCase(s, "http:")) {
    at = 5;
  } else if (StartsIgnoringCase(s, "https:")) {
    at = 6;
  } else if (s.size() >= 2 && IsSlash(s[0]) && IsSlash(s[1])) {
    at = 2;
  } else {
    return {};
  }
  while (at < s.size() && IsSlash(s[at])) ++at;
  std::string_view authority = s.substr(at);
  authority = authority.substr(0, authority.find_first_of("/\\?#"));
  const std::size_t userEnd = authority.rfind('@');
  if (userEnd != std::string_view::npos) authority.remove_prefix(userEnd + 1);
  std::string host;
  for (std::size_t i = 0; i < authority.size(); ++i) {
    char c = authority[i];
    if (c == '%' && i + 2 < authority.size() && HexDigitValue(authority[i + 1]) >= 0 &&
        HexDigitValue(authority[i + 2]) >= 0) {
      c = static_cast<char>(HexDigitValue(authority[i + 1]) * 16 + HexDigitValue(authority[i + 2]));
      i += 2;
    }
    if (!IsHostCharacter(c)) break;
    host.push_back(c);
  }
  return host;
}

bool HtmlLinkWalk::Next(std::string_view html, HtmlLink& link) {
  HtmlTokenizer tokens(state);
  while (true) {
    const HtmlTokenizer::Token token = tokens.Next(html);
    if (token.kind == HtmlTokenizer::Kind::End) return false;
    if (token.kind != HtmlTokenizer::Kind::Attribute ||
        !(EqualsIgnoringCase(token.name, "href") || EqualsIgnoringCase(token.name, "src"))) {
      continue;
    }
    std::string host = UrlAttributeHost(DecodeCharacterReferences(token.text));
    if (host.empty()) continue;
    std::size_t position = token.textPosition;
    while (position < html.size() && IsHtmlSpace(html[position])) ++position;
    link.position = position;
    link.host = std::move(host);
    return true;
  }
}

std::vector<HtmlLink> HtmlLinks(std::string_view html) {
  std::vector<HtmlLink> links;
  HtmlLinkWalk walk;
  for (HtmlLink link; walk.Next(html, link);) links.push_back(std::move(link));
  return links;
}

std::string HtmlToText(std::string_view html) {
  HtmlScanState state;
  HtmlTokenizer tokens(state);
  TextBuilder text;
  while (true) {
    const HtmlTokenizer::Token token = tokens.Next(html);
    switch (token.kind) {
      case HtmlTokenizer::Kind::End:
        return text.Take();
      case HtmlTokenizer::Kind::Text:
        text.Text(DecodeCharacterReferences(token.text));
        break;
      case HtmlTokenizer::Kind::StartTag:
        if (EqualsIgnoringCase(token.name, "br")) {
          text.Break();
        } else if (IsBlockElement(token.name)) {
          text.EndLine();
        }
        break;
      case HtmlTokenizer::Kind::EndTag:
        if (IsBlockElement(token.name)) text.EndLine();
        break;
      default:
        break;
    }
  }
}

}  // namespace qm
