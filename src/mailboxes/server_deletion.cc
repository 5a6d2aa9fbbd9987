// A change of a mailbox's server deletion policy and what it means for mail already handled.
#include "mailboxes/mailbox_set.h"

namespace qm {

namespace {

// Server copies waiting for deletion belong to mails the user deleted here. With the copies now
// kept on the server they must still never be fetched again, so they join the mails deleted here
// instead of being forgotten, which would bring them back at the next retrieval.
void KeepPendingDeletionsOnServer(CMailboxClient& client) {
  CUidList pending = client.PendingDeletions();
  pending.Rewind();
  std::string uidl;
  std::string messageId;
  while (pending.Next(uidl, messageId)) {
    client.RegisterKnown(uidl, messageId);
    client.ForgetDeleted(uidl);
  }
  client.ClearPendingDeletions();
}

}  // namespace

int CMailboxSet::ChangeServerDeletion(int index, ServerDeletion policy, DeletedHereAnswer answer,
                                      bool* asked) {
  if (asked != nullptr) *asked = false;
  CMailbox* mailbox = Get(index);
  if (mailbox == nullptr || policy > DeleteWhenPurged) return 0;
  const CMailboxConfig& config = mailbox->Config();
  if (config.GetServerDeletion() == policy) return 1;
  CMailboxClient& client = mailbox->Client();

  switch (policy) {
    case KeepOnServer:
      KeepPendingDeletionsOnServer(client);
      break;
    case DeleteWhenRetrieved:
      mailbox->ReleaseServerCopies();
      mailbox->Dustbox()->ReleaseServerCopies();
      break;
    case DeleteWhenDustboxed:
      mailbox->Dustbox()->ReleaseServerCopies();
      break;
    case DeleteWhenPurged:
      break;
  }

  // Mails left on the server under the old policy: an exemption may have kept some of them there
  // on purpose, so only then is the user asked before they are deleted.
  if (policy != KeepOnServer && client.DeletedHere().Count() != 0) {
    if (config.Has(CMailboxConfig::KeepFriendOnServer) ||
        config.Has(CMailboxConfig::KeepOtherOnServer)) {
      if (asked != nullptr) *asked = true;
      switch (answer) {
        case DeletedHereAnswer::Delete:
          client.DeleteDeletedHereOnServer();
          break;
        case DeletedHereAnswer::Refetch:
          client.ClearDeletedHere();
          break;
        case DeletedHereAnswer::Keep:
          break;
      }
    } else {
      client.DeleteDeletedHereOnServer();
    }
  }

  EditConfig(index, [policy](CMailboxConfig& edited) { edited.SetServerDeletion(policy); });
  return 1;
}

}  // namespace qm
