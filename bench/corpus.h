// A generated mail corpus for the benchmarks: Japanese mail as it arrives at the filter, already
// in the stored form. The same seed always gives the same corpus, so figures from different builds
// and machines measure the same work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qm::bench {

enum class BodyEncoding { kSevenBit, kBase64, kQuotedPrintable };

struct GeneratedMessage {
  // The whole message: CR LF line ends, dot-stuffed, ending with the "." line.
  std::string stored;
  BodyEncoding encoding = BodyEncoding::kSevenBit;
  // The body as it travels, between the empty line and the terminator (not dot-stuffed).
  std::string encodedBody;
  // The body before its transfer encoding: 7-bit ISO-2022-JP text with ASCII links.
  std::string jisBody;
  // What the walks over this message should yield, to show the corpus exercises them.
  int receivedAddresses = 0;
  int links = 0;
};

struct Corpus {
  std::vector<GeneratedMessage> messages;
  std::size_t totalBytes = 0;  // of the stored forms
};

// `count` messages of roughly 2 to 20 KB each.
Corpus MakeCorpus(std::size_t count, std::uint64_t seed);

// The corpus every benchmark runs over, built on first use.
const Corpus& SharedCorpus();

}  // namespace qm::bench
