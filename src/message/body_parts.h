// The parts of a stored message as a reader gets them: each leaf of its MIME tree with its
// transfer encoding undone, its text in UTF-8, its file name decoded, and the part a reader is
// shown first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "message/mime_parts.h"

namespace qm {

// The leaves of a stored message (CR LF lines, dots stuffed, the "." line at the end).
std::vector<MimeLeaf> StoredMessageParts(std::string_view storedText);

// Whether the leaves are those of a message that is no multipart and holds no message: such a
// message is decoded as a whole, as it always has been.
bool IsSinglePart(const std::vector<MimeLeaf>& leaves);

// The content of a leaf with the stuffed dots and its transfer encoding undone. Base64 skips
// characters outside its alphabet and ends at its padding; quoted-printable takes "=" with two
// hex digits (either case) as a byte and "=" at a line end as a soft break, and keeps any other
// "=". Other encodings leave the bytes as they are. Binary content keeps every byte.
std::string PartContent(std::string_view storedText, const MimeLeaf& leaf);

// The number of bytes PartContent gives, without keeping them.
std::size_t PartSize(std::string_view storedText, const MimeLeaf& leaf);

// A text leaf as UTF-8 in its declared charset (or, without one, UTF-8 or code page 932);
// NUL bytes, which mail text cannot hold, are dropped.
std::string PartText(std::string_view storedText, const MimeLeaf& leaf);

// A leaf's file name in UTF-8: an RFC 2231 value in the charset it declares, else with its MIME
// encoded words decoded.
std::string PartFileName(const MimeLeaf& leaf);

// The leaf a reader is shown: the first text/plain leaf that is no attachment, else the first
// such text/html leaf; leaves of the message itself before those of a message it holds. npos
// when there is none.
std::size_t BestTextPart(const std::vector<MimeLeaf>& leaves);

}  // namespace qm
