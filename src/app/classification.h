// The program-wide classification objects: the sender lists, the DNS blocklists read from the
// settings, and the classifier over both.
#pragma once

#include <memory>
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

  CSenderLists& Lists() { return lists; }
  BlocklistResolver& Blocklists() { return *blocklists; }
  SpamClassifier& Classifier() { return *classifier; }

 private:
  CSenderLists lists;
  std::unique_ptr<BlocklistResolver> blocklists;
  std::unique_ptr<SpamClassifier> classifier;
};

}  // namespace qm
