#include "store/mailbox_config.h"

#include "message/mail_mark.h"

namespace qm {

bool CMailboxConfig::KeepOnServerRule(int verdict) const {
  switch (verdict) {
    case VerdictSpam:
    case VerdictBad:
      return false;
    case VerdictFriend:
      return Has(KeepFriendOnServer);
    default:
      return Has(KeepOtherOnServer);
  }
}

Disposition CMailboxConfig::DispositionOf(int verdict) const {
  Disposition d;
  switch (verdict) {
    case VerdictOther:
      d = {Has(DustboxOther), Has(HideOther), false};
      break;
    case VerdictFriend:
      d = {Has(DustboxFriend), Has(HideFriend), false};
      break;
    case VerdictSpam:
      d = {Has(DustboxSpam), Has(HideSpam), false};
      break;
    case VerdictBad:
      d = {Has(DustboxBad), Has(HideBad), false};
      break;
    default:
      return d;
  }
  switch (GetServerDeletion()) {
    case DeleteWhenRetrieved:
      d.deleteNow = !KeepOnServerRule(verdict);
      break;
    case DeleteWhenDustboxed:
      d.deleteNow = d.toDustbox && !KeepOnServerRule(verdict);
      break;
    case KeepOnServer:
    case DeleteWhenPurged:
      break;
  }
  return d;
}

}  // namespace qm
