// The structure of a message: the leaves of its MIME tree in order, each with what its header
// declares and where its body lies in the message text. A pure function over bytes: nothing is
// decoded here, and nothing is copied but the header values.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct MimeLeaf {
  std::string type = "text/plain";  // lower case, "type/subtype"
  std::string charset;              // lower case; empty when none is declared
  std::string encoding;             // transfer encoding, lower case; empty when none is declared
  std::string fileName;             // as declared (possibly with encoded words); empty when none
  std::string fileNameCharset;      // the charset an RFC 2231 file name declares; empty when none
  bool attachment = false;          // Content-Disposition says "attachment"
  int depth = 0;                    // 0 for a message that is not multipart
  bool embedded = false;            // inside a message/rfc822 part
  // The body of the leaf, still transfer-encoded: an offset into the text given and a length.
  std::size_t offset = 0;
  std::size_t length = 0;

  bool IsText() const { return type.rfind("text/", 0) == 0; }
};

struct MimeLimits {
  // Nesting beyond this is taken as a leaf of its own, so that a hostile message cannot make
  // the walk recurse without end.
  int maxDepth = 16;
  // A message of more parts keeps only its first ones.
  std::size_t maxLeaves = 512;
};

// The leaves of `message` (a header, an empty line and a body; CR LF or LF line ends) in the
// order they stand. Multipart bodies are split at their boundary lines (preamble and epilogue
// dropped; a missing closing boundary ends the last part at the end of the text), and a
// message/rfc822 part is walked as the message it holds. A multipart without a boundary is one
// leaf. Never fails: at worst the whole body is one leaf.
std::vector<MimeLeaf> WalkMimeParts(std::string_view message, MimeLimits limits = {});

// The value of parameter `name` (case-insensitive) of a structured field value such as
// `text/plain; charset="utf-8"`, unquoted; empty when absent. RFC 2231 continuations and
// charset prefixes ("name*0*=utf-8''...") are joined and percent-decoded; the charset goes to
// `charset` when given (empty when the value declares none).
std::string HeaderParameter(std::string_view value, std::string_view name,
                            std::string* charset = nullptr);

}  // namespace qm
