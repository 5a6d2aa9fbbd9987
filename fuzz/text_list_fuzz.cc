// Reads arbitrary bytes as a sender list file. Besides the sanitizers' findings it stops when the
// list breaks what it promises: keys come out in ascending unsigned byte order, no stored key is
// a prefix of another, every key is found as itself with its number, and writing the list and
// reading the result gives back the same keys and numbers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "classify/text_list.h"

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "text_list_fuzz: broken promise: %s\n", what);
  std::abort();
}

using Entries = std::vector<std::pair<std::string, std::int32_t>>;

Entries EntriesOf(const qm::TextList& list) {
  Entries entries;
  list.ForEach([&entries](std::string_view key, std::int32_t value) {
    entries.emplace_back(std::string(key), value);
    return 1;
  });
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  qm::TextList list;
  qm::ReadTextListFile(bytes, list);
  const Entries entries = EntriesOf(list);
  Check(entries.empty() == list.Empty(), "Empty() disagrees with ForEach");

  for (std::size_t i = 0; i < entries.size(); ++i) {
    const auto& [key, value] = entries[i];
    Check(!key.empty(), "the empty key was stored");
    Check(key.find('\0') == std::string::npos, "a key kept bytes after a NUL");
    Check(key.size() < 1024, "a key is longer than a line piece");
    if (i > 0) {
      // std::string compares bytes as unsigned.
      Check(entries[i - 1].first < key, "keys are not in ascending order");
      Check(!key.starts_with(entries[i - 1].first), "a stored key is a prefix of another");
    }
    std::int32_t found = 0;
    Check(list.Find(key, &found) == static_cast<int>(key.size()) && found == value,
          "a listed key is not found as itself");
  }

  qm::TextList back;
  qm::ReadTextListFile(qm::WriteTextListFile(list), back);
  Entries fitting;
  for (const auto& entry : entries) {
    if (qm::TextListEntryFits(entry.first, entry.second)) fitting.push_back(entry);
  }
  Check(EntriesOf(back) == fitting, "a saved list does not load back as itself");
  return 0;
}
