// The local accounts of the mailboxes: who may log in to the local POP3 server as whom.
#include "mailboxes/mailbox_set.h"

namespace qm {

int CMailboxSet::LoginNameOwner(int exceptIndex, std::string_view loginName) const {
  if (loginName.empty()) return -1;
  for (int j = 0; j < Count(); ++j) {
    if (j == exceptIndex) continue;
    const CMailboxConfig& other = mailboxes[static_cast<std::size_t>(j)]->Config();
    if (other.localUser == loginName) return j;
    // Checked both ways, so that the outcome does not depend on which mailbox was set up first.
    if (other.Has(CMailboxConfig::DustboxAccess) && other.dustboxUser == loginName) return j;
  }
  return -1;
}

int CMailboxSet::AssignLocalAccount(int index, const LocalAccount& account) {
  if (!Valid(index)) return 0;
  if (LoginNameOwner(index, account.user) >= 0) return 0;
  if (account.dustboxAccess) {
    if (LoginNameOwner(index, account.dustboxUser) >= 0) return 0;
    if (!account.user.empty() && account.dustboxUser == account.user) return 0;
  }
  CMailbox& mailbox = *mailboxes[static_cast<std::size_t>(index)];
  CMailboxConfig& config = mailbox.Config();
  config.localUser = account.user;
  config.localPassword = account.password;
  config.Set(CMailboxConfig::DustboxAccess, account.dustboxAccess);
  config.dustboxUser = account.dustboxAccess ? account.dustboxUser : std::string();
  config.dustboxPassword = account.dustboxAccess ? account.dustboxPassword : std::string();
  mailbox.MarkConfigDirty();
  return 1;
}

CMailbox* CMailboxSet::MatchLogin(CMailbox& mailbox, std::string_view user,
                                  std::string_view password) {
  const CMailboxConfig& config = mailbox.Config();
  if (!config.localUser.empty() && !config.localPassword.empty() && config.localUser == user &&
      config.localPassword == password) {
    return &mailbox;
  }
  if (config.Has(CMailboxConfig::DustboxAccess) && !config.dustboxUser.empty() &&
      !config.dustboxPassword.empty() && config.dustboxUser == user &&
      config.dustboxPassword == password) {
    return mailbox.Dustbox();
  }
  return nullptr;
}

CMailbox* CMailboxSet::FindLogin(std::string_view user, std::string_view password,
                                 int* mainIndex) const {
  for (int i = 0; i < Count(); ++i) {
    if (CMailbox* match = MatchLogin(*mailboxes[static_cast<std::size_t>(i)], user, password)) {
      if (mainIndex != nullptr) *mainIndex = i;
      return match;
    }
  }
  if (mainIndex != nullptr) *mainIndex = -1;
  return nullptr;
}

}  // namespace qm
