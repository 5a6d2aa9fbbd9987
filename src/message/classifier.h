// How the store has a message classified without knowing the classifier.
#pragma once

namespace qm {

class CMailMessage;

class IClassifier {
 public:
  virtual ~IClassifier() = default;
  // Writes the verdict and reason into the message's mark. The message has been parsed.
  virtual void Classify(CMailMessage& message) = 0;
};

}  // namespace qm
