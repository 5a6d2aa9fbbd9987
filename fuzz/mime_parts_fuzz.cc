// Feeds arbitrary bytes to the MIME walk, the decoding of each part and the reading of HTML, and
// stops on results that break what they promise: leaves inside the input and within the limits,
// part sizes that agree with the content, text that is UTF-8, links inside their text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "message/body_parts.h"
#include "message/html.h"
#include "message/mime_parts.h"
#include "platform/code_page.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "mime_parts_fuzz: broken promise: %s\n", what);
  std::abort();
}

bool IsHostText(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qm::MimeLimits limits{.maxDepth = 8, .maxLeaves = 64};
  const auto leaves = qm::WalkMimeParts(text, limits);
  Check(leaves.size() <= limits.maxLeaves, "more leaves than the limit");
  for (const qm::MimeLeaf& leaf : leaves) {
    Check(leaf.offset <= size && leaf.length <= size - leaf.offset && leaf.depth <= limits.maxDepth,
          "a leaf outside the input or the limits");
    const std::string content = qm::PartContent(text, leaf);
    Check(qm::PartSize(text, leaf) == content.size(), "PartSize disagrees with PartContent");
    Check(content.size() <= leaf.length, "a part decoded to more bytes than it has");
    const std::string partText = qm::PartText(text, leaf);
    Check(qm::IsUtf8(partText) && partText.find('\0') == std::string::npos,
          "a part's text is not UTF-8 or holds NUL");
    Check(qm::IsUtf8(qm::PartFileName(leaf)), "a file name is not UTF-8");
  }
  const std::size_t best = qm::BestTextPart(leaves);
  Check(best == std::string::npos || best < leaves.size(), "the best part is no leaf");
  (void)qm::HeaderParameter(text, "name");

  // The input read as HTML.
  std::size_t last = 0;
  for (const qm::HtmlLink& link : qm::HtmlLinks(text)) {
    Check(link.position < size && link.position >= last, "a link outside its text or out of order");
    Check(IsHostText(link.host), "a link host holds characters outside the host pattern");
    last = link.position;
  }
  const std::string plain = qm::HtmlToText(text);
  Check(!qm::IsUtf8(text) || qm::IsUtf8(plain), "HTML that is UTF-8 gave text that is not");
  Check(!qm::IsUtf8(text) || qm::IsUtf8(qm::DecodeCharacterReferences(text)),
        "character references made text that is not UTF-8");
  return 0;
}
