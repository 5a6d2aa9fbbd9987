// The program-wide classification objects: the sender lists, the DNS blocklists read from the
// settings, and the classifier over both.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/settings.h"
#include "classify/blocklist.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"

namespace qm {

class CClassification {
 public:
  explicit CClassification(const CSettings& settings);

  static BlocklistSettings ReadBlocklistSettings(const CSettings& settings);

  // The friend and bad lists of `directory` and the empty-address rule of the settings.
  void Load(const std::string& directory, const CSettings& settings);
  // Writes the lists that changed; false when one could not be written.
  bool SaveLists(const std::string& directory) { return lists.SaveChanged(directory); }

  // Once per new trouble: a status text naming the first blocklist that failed or refused a
  // look-up since the last call, or an empty text. Any thread.
  std::string NewBlocklistTrouble();

  CSenderLists& Lists() { return lists; }
  BlocklistResolver& Blocklists() { return *blocklists; }
  SpamClassifier& Classifier() { return *classifier; }

 private:
  CSenderLists lists;
  std::unique_ptr<BlocklistResolver> blocklists;
  std::unique_ptr<SpamClassifier> classifier;
  std::mutex troubleLock;
  std::array<std::uint64_t, kZoneCount> reportedFailures{};
};

}  // namespace qm
