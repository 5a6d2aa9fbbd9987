// What a mailbox remembers of its remote account: the account itself and the unique-id lists
// that decide which server copies are fetched, left alone or deleted. Shared by a mailbox and its
// dustbox; the POP3 session of the account builds on it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "store/uid_list.h"

namespace qm {

// How the connection to the remote server is protected.
enum class ConnectionSecurity : std::uint32_t {
  Plain = 0,     // POP3 in clear text
  Tls = 1,       // TLS from the first byte (POP3S, usually port 995)
  StartTls = 2,  // plain connection, STLS after the greeting, then everything inside TLS
};

// The port a mailbox should use after its security changes to `security`: each mode's usual port
// (995 for POP3S, 110 otherwise) replaces the other mode's usual port; any other port stays.
inline std::uint32_t PortForSecurity(ConnectionSecurity security, std::uint32_t port) {
  const bool implicit = security == ConnectionSecurity::Tls;
  if (implicit && port == 110) return 995;
  if (!implicit && port == 995) return 110;
  return port;
}

// How the session logs in to the remote server.
enum class AuthMethod : std::uint32_t {
  Password = 0,  // USER and PASS
  XOAuth2 = 1,   // AUTH XOAUTH2 with an OAuth 2.0 access token; only over TLS
};

struct CRemoteAccount {
  std::string server;
  std::uint32_t port = 110;
  std::string user;
  std::string password;
  ConnectionSecurity security = ConnectionSecurity::Plain;
  // A PEM file of certificates trusted besides the system's, for private servers; may be empty.
  std::string caFile;
  AuthMethod auth = AuthMethod::Password;
  // Command lines whose first output line is the access token (XOAuth2) or the password
  // (Password; when empty, `password` is used); run before each login.
  std::string tokenCommand = {};
  std::string passwordCommand = {};

  friend bool operator==(const CRemoteAccount&, const CRemoteAccount&) = default;
};

class CMailboxClient {
 public:
  virtual ~CMailboxClient() = default;

  CRemoteAccount account;

  // Every operation below takes `listLock`, the innermost lock of the program.
  void RegisterKnown(std::string_view uidl, std::string_view messageId);
  bool IsKnown(std::string_view uidl);
  // 1 and the Message-ID recorded with a known unique id; 0 when it is not known.
  int KnownMessageId(std::string_view uidl, std::string& messageId);
  bool IsDeletedHere(std::string_view uidl);
  // Whether the server copy is listed for deletion, and the Message-ID it must still carry.
  int FindPendingDeletion(std::string_view uidl, std::string& messageId);
  int TakePendingDeletion(std::string_view uidl, std::string& messageId);
  // The server copy stays and is never fetched again.
  void ForgetDeleted(std::string_view uidl);
  // The server copy is deleted at the next retrieval.
  void RequestServerDeletion(std::string_view uidl);
  // The server copy of a message just stored is to be deleted in this session. It stays listed
  // for deletion until a completed retrieval no longer finds it on the server: a session whose
  // QUIT is lost leaves the copy there, and the next retrieval deletes it instead of fetching it
  // again.
  void RememberSentDeletion(std::string_view uidl, std::string_view messageId);
  // Adds the pairs that a list does not hold yet (by unique id): the server-list part of an
  // interrupted change, applied again at load.
  void MergeAdded(const CUidList& deletedHereAdded, const CUidList& pendingAdded);
  // After a completed retrieval: keeps in `deletedHere`, `knownUidls` and `pendingDeletions`, in
  // this order, only the entries whose unique id the server listed, at most one entry per id
  // listed. Holds listLock throughout.
  void PruneServerLists(const std::vector<std::string>& serverUids);
  void ClearPendingDeletions();
  void ClearDeletedHere();
  void DeleteDeletedHereOnServer();

  // The ".svm" file: `deletedHere`, then `pendingDeletions`. With both empty the file is removed.
  // Saving writes a new file and renames it over the old one; 0 when it could not be written.
  int SaveServerLists(const std::string& path);
  // Clears both lists and reads them from the file; a damaged file gives what could be read
  // whole. 0 when the file was damaged (a missing file is no damage).
  int LoadServerLists(const std::string& path);
  // Whether the saved lists differ from the ones in memory.
  bool ServerListsChanged();

  // Copies for inspection and tests.
  CUidList KnownUidls();
  CUidList DeletedHere();
  CUidList PendingDeletions();

 private:
  std::mutex listLock;
  CUidList knownUidls;
  CUidList deletedHere;
  CUidList pendingDeletions;
  bool listsChanged = false;
};

}  // namespace qm
