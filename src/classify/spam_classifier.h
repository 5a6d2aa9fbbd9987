// Decides a message's verdict by a fixed order of rules; the first that fires decides: the empty
// sender rule, the friend list, the bad list, the hosts of the body's links, the sender domains,
// the relay addresses. Shared by every thread that classifies.
#pragma once

#include <utility>

#include "classify/sender_lists.h"
#include "classify/zone_lookup.h"
#include "message/classifier.h"
#include "message/mail_mark.h"

namespace qm {

class CMailMessage;

class SpamClassifier : public IClassifier {
 public:
  SpamClassifier(CSenderLists& lists, IZoneLookup& blocklists);

  // Writes the verdict and reason into the message's mark (other bits untouched). The message
  // must have been parsed; its body and walks are used up.
  void Classify(CMailMessage& message) override;

  std::pair<Verdict, Reason> Decide(CMailMessage& message);

 private:
  // Zone 0, then zone 3, for a host or a domain.
  bool LookupName(std::string_view name, std::pair<Verdict, Reason>& result);
  bool CheckLinkHosts(CMailMessage& message, std::pair<Verdict, Reason>& result);
  bool CheckSenderDomains(CMailMessage& message, std::pair<Verdict, Reason>& result);
  bool CheckRelays(CMailMessage& message, std::pair<Verdict, Reason>& result);

  CSenderLists& lists;
  IZoneLookup& blocklists;
};

}  // namespace qm
