// Feeds arbitrary bytes to the MIME walk and stops on leaves that break what the walk promises:
// ranges inside the input, depth and count within the limits.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "message/mime_parts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const qm::MimeLimits limits{.maxDepth = 8, .maxLeaves = 64};
  const auto leaves = qm::WalkMimeParts(text, limits);
  if (leaves.size() > limits.maxLeaves) std::abort();
  for (const qm::MimeLeaf& leaf : leaves) {
    if (leaf.offset > size || leaf.length > size - leaf.offset || leaf.depth > limits.maxDepth) {
      std::fprintf(stderr, "mime_parts_fuzz: a leaf outside the input or the limits\n");
      std::abort();
    }
  }
  (void)qm::HeaderParameter(text, "name");
  return 0;
}
