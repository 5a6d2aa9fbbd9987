// The local accounts of the mailboxes: who may log in to the local POP3 server as whom.
#include <openssl/crypto.h>

#include "mailboxes/mailbox_set.h"

namespace qm {

namespace {

// Takes as long for every `given` password: the time depends on the stored password's length
// only, so a client learns neither where its guess first differs nor how long the password is.
bool PasswordMatches(std::string_view stored, std::string_view given) {
  const bool sameLength = given.size() == stored.size();
  // A guess of another length is compared with the stored password itself, and then refused.
  const std::string_view compared = sameLength ? given : stored;
  const bool sameBytes = CRYPTO_memcmp(compared.data(), stored.data(), stored.size()) == 0;
  return sameLength & sameBytes;
}

}  // namespace

int CMailboxSet::LoginNameOwner(int exceptIndex, std::string_view loginName) const {
  std::shared_lock lock(setLock);
  return LoginNameOwnerLocked(exceptIndex, loginName);
}

int CMailboxSet::LoginNameOwnerLocked(int exceptIndex, std::string_view loginName) const {
  if (loginName.empty()) return -1;
  for (std::size_t j = 0; j < mailboxes.size(); ++j) {
    if (static_cast<int>(j) == exceptIndex) continue;
    const CMailboxConfig& other = mailboxes[j]->Config();
    if (other.localUser == loginName) return static_cast<int>(j);
    // Checked both ways, so that the outcome does not depend on which mailbox was set up first.
    if (other.Has(CMailboxConfig::DustboxAccess) && other.dustboxUser == loginName) {
      return static_cast<int>(j);
    }
  }
  return -1;
}

int CMailboxSet::AssignLocalAccount(int index, const LocalAccount& account) {
  // One hold for the checks and the change, so that no login sees half an account.
  std::unique_lock lock(setLock);
  if (!ValidLocked(index)) return 0;
  if (LoginNameOwnerLocked(index, account.user) >= 0) return 0;
  if (account.dustboxAccess) {
    if (LoginNameOwnerLocked(index, account.dustboxUser) >= 0) return 0;
    if (!account.user.empty() && account.dustboxUser == account.user) return 0;
  }
  mailboxes[static_cast<std::size_t>(index)]->EditConfig([&account](CMailboxConfig& config) {
    config.localUser = account.user;
    config.localPassword = account.password;
    config.Set(CMailboxConfig::DustboxAccess, account.dustboxAccess);
    config.dustboxUser = account.dustboxAccess ? account.dustboxUser : std::string();
    config.dustboxPassword = account.dustboxAccess ? account.dustboxPassword : std::string();
  });
  return 1;
}

CMailbox* CMailboxSet::MatchLoginLocked(CMailbox& mailbox, std::string_view user,
                                        std::string_view password) {
  const CMailboxConfig& config = mailbox.Config();
  if (!config.localUser.empty() && !config.localPassword.empty() && config.localUser == user &&
      PasswordMatches(config.localPassword, password)) {
    return &mailbox;
  }
  if (config.Has(CMailboxConfig::DustboxAccess) && !config.dustboxUser.empty() &&
      !config.dustboxPassword.empty() && config.dustboxUser == user &&
      PasswordMatches(config.dustboxPassword, password)) {
    return mailbox.Dustbox();
  }
  return nullptr;
}

CMailbox* CMailboxSet::FindLogin(std::string_view user, std::string_view password,
                                 int* mainIndex) const {
  std::shared_lock lock(setLock);
  for (std::size_t i = 0; i < mailboxes.size(); ++i) {
    if (CMailbox* match = MatchLoginLocked(*mailboxes[i], user, password)) {
      if (mainIndex != nullptr) *mainIndex = static_cast<int>(i);
      return match;
    }
  }
  if (mainIndex != nullptr) *mainIndex = -1;
  return nullptr;
}

}  // namespace qm
