// HTML as the link walk and the viewer read it: character references, the hosts that href and
// src attribute values lead to, and the text a reader sees. Pure functions over UTF-8 text; no
// markup is ever trusted to be well-formed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Decodes character references: decimal "&#NN;" and hexadecimal "&#xHH;" (the ";" may be
// missing, as browsers allow) and the named ones mail uses ("&amp;", "&lt;", "&nbsp;", ...). A
// number that is no character (zero, a surrogate, beyond U+10FFFF) gives U+FFFD; an unknown name
// stays as written.
std::string DecodeCharacterReferences(std::string_view text);

// The host that a URL written in an attribute leads to, as a browser reads it: tabs and line
// breaks inside are ignored, "http:" and "https:" in any case, or "//" for the scheme of the page;
// the user part before "@" and the port are not the host; %XX escapes are undone. Only the
// characters the bare-link pattern takes ([-_.a-zA-Z0-9]) make up the host. Empty for other
// schemes, relative references and hosts that start with another character.
std::string UrlAttributeHost(std::string_view decodedValue);

struct HtmlLink {
  std::size_t position = 0;  // where the value starts in the text (its first non-blank byte)
  std::string host;
};

// Where a reading of HTML stands between two calls.
struct HtmlScanState {
  std::size_t pos = 0;
  bool inTag = false;
  std::string rawTextEnd;      // in the text of script, style or title: that element's name
  std::string pendingRawText;  // in the start tag of one of those: its name
};

// The href and src attributes of the tags of an HTML text, in order, one at a time. Comments,
// end tags and the contents of script and style elements hold no tags. The walk keeps only
// positions, so the caller passes the same text to every call.
class HtmlLinkWalk {
 public:
  // The next attribute whose value has a host; false at the end of the text.
  bool Next(std::string_view html, HtmlLink& link);

 private:
  HtmlScanState state;
};

std::vector<HtmlLink> HtmlLinks(std::string_view html);

// The text of an HTML document as plain text: tags go; "<br>" breaks the line, and the start of a
// paragraph and the start and end of other blocks begin a new line; runs of blanks and line
// breaks of the source become one space; character references are decoded; the contents of
// script, style and title elements and comments are dropped. Lines end with CR LF.
std::string HtmlToText(std::string_view html);

}  // namespace qm
