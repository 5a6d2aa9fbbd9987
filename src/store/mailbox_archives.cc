#include "store/mailbox_archives.h"

#include "store/archive.h"

namespace qm {

namespace {

// "QMS1" in the file: the start of the secure-connection block of a settings file.
constexpr std::uint32_t kSecurityTag = 0x31534D51;
// "QMA1": the start of the login block (method and secret commands), after the one above.
constexpr std::uint32_t kLoginTag = 0x31414D51;

// The option bits in the order of the first stored option word; bit 15 stays clear.
constexpr CMailboxConfig::Option kWordA[] = {
    CMailboxConfig::NotifyOther,       CMailboxConfig::NotifySpam,
    CMailboxConfig::NotifyBad,         CMailboxConfig::NotifyFriend,
    CMailboxConfig::HideOther,         CMailboxConfig::HideSpam,
    CMailboxConfig::HideBad,           CMailboxConfig::HideFriend,
    CMailboxConfig::DustboxOther,      CMailboxConfig::DustboxSpam,
    CMailboxConfig::DustboxBad,        CMailboxConfig::DustboxFriend,
    CMailboxConfig::KeepOtherOnServer, CMailboxConfig::KeepFriendOnServer,
    CMailboxConfig::LimitDustbox};
// The second word after its two server-deletion bits.
constexpr CMailboxConfig::Option kWordB[] = {
    CMailboxConfig::OnDemandRetrieval, CMailboxConfig::OpenDustboxAtExit,
    CMailboxConfig::DustboxAccess, CMailboxConfig::KeepOtherOnServer,
    CMailboxConfig::KeepFriendOnServer};

std::uint16_t PackWordA(const CMailboxConfig& config) {
  std::uint16_t word = 0;
  for (std::size_t bit = 0; bit < std::size(kWordA); ++bit) {
    if (config.Has(kWordA[bit])) word = static_cast<std::uint16_t>(word | (1u << bit));
  }
  return word;
}

std::uint16_t PackWordB(const CMailboxConfig& config) {
  auto word = static_cast<std::uint16_t>(config.GetServerDeletion());
  for (std::size_t bit = 0; bit < std::size(kWordB); ++bit) {
    if (config.Has(kWordB[bit])) word = static_cast<std::uint16_t>(word | (1u << (bit + 2)));
  }
  return word;
}

// The two keep-on-server bits are stored in both words; the second word's copy counts.
std::uint32_t UnpackWords(std::uint16_t a, std::uint16_t b) {
  CMailboxConfig config;
  config.options = 0;
  for (std::size_t bit = 0; bit < std::size(kWordA); ++bit) {
    if (kWordA[bit] == CMailboxConfig::KeepOtherOnServer ||
        kWordA[bit] == CMailboxConfig::KeepFriendOnServer) {
      continue;
    }
    config.Set(kWordA[bit], (a >> bit) & 1u);
  }
  config.SetServerDeletion(static_cast<ServerDeletion>(b & 3u));
  for (std::size_t bit = 0; bit < std::size(kWordB); ++bit) {
    config.Set(kWordB[bit], (b >> (bit + 2)) & 1u);
  }
  return config.options;
}

}  // namespace

std::string WriteMarksArchive(const std::vector<CMailMark>& marks, std::size_t count) {
  std::string bytes;
  CArchiveWriter archive(bytes);
  archive.WriteU32(static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    archive.WriteU32(marks[i].flags);
    archive.WriteString(marks[i].uidl);
  }
  return bytes;
}

bool ReadMarksArchive(std::string_view bytes, std::vector<CMailMark>& marks,
                      std::uint32_t& recordCount) {
  marks.clear();
  recordCount = 0;
  CArchiveReader archive(bytes);
  if (!archive.ReadU32(recordCount)) return false;
  // The count is not trusted for sizing: every record takes at least five bytes.
  for (std::uint32_t i = 0; i < recordCount; ++i) {
    CMailMark mark;
    if (!archive.ReadU32(mark.flags) || !archive.ReadString(mark.uidl)) return false;
    marks.push_back(std::move(mark));
  }
  return true;
}

std::string WriteConfigArchive(const CMailboxConfig& config, const CRemoteAccount& account) {
  std::string bytes;
  CArchiveWriter archive(bytes);
  archive.WriteString(config.localUser);
  archive.WriteString(config.localPassword);
  archive.WriteString(config.dustboxUser);
  archive.WriteString(config.dustboxPassword);
  archive.WriteU32(config.timerInterval);
  archive.WriteU32(config.dustboxLimit);
  archive.WriteU16(PackWordA(config));
  archive.WriteU16(PackWordB(config));
  archive.WriteString(account.server);
  archive.WriteU32(account.port);
  archive.WriteString(account.user);
  archive.WriteString(account.password);
  // The secure-connection settings follow in a tagged block that older readers never reach; a
  // plain account without trusted certificates writes none, so its file stays as it always was.
  if (account.security != ConnectionSecurity::Plain || !account.caFile.empty()) {
    archive.WriteU32(kSecurityTag);
    archive.WriteU32(static_cast<std::uint32_t>(account.security));
    archive.WriteString(account.caFile);
  }
  // Likewise the way of logging in: an account that logs in with its stored password writes
  // none.
  if (account.auth != AuthMethod::Password || !account.tokenCommand.empty() ||
      !account.passwordCommand.empty()) {
    archive.WriteU32(kLoginTag);
    archive.WriteU32(static_cast<std::uint32_t>(account.auth));
    archive.WriteString(account.tokenCommand);
    archive.WriteString(account.passwordCommand);
  }
  return bytes;
}

bool ReadConfigArchive(std::string_view bytes, CMailboxConfig& config, CRemoteAccount& account) {
  CArchiveReader archive(bytes);
  CMailboxConfig loaded;
  CRemoteAccount loadedAccount;
  std::uint16_t wordA = 0;
  std::uint16_t wordB = 0;
  const bool whole =
      archive.ReadString(loaded.localUser) && archive.ReadString(loaded.localPassword) &&
      archive.ReadString(loaded.dustboxUser) && archive.ReadString(loaded.dustboxPassword) &&
      archive.ReadU32(loaded.timerInterval) && archive.ReadU32(loaded.dustboxLimit) &&
      archive.ReadU16(wordA) && archive.ReadU16(wordB) &&
      archive.ReadString(loadedAccount.server) && archive.ReadU32(loadedAccount.port) &&
      archive.ReadString(loadedAccount.user) && archive.ReadString(loadedAccount.password);
  if (!whole) return false;
  // Tagged blocks in their order; a block this version does not know ends the reading, so a
  // file from a later version still loads what this one knows.
  std::uint32_t tag = 0;
  bool securityRead = false;
  bool loginRead = false;
  while (archive.ReadU32(tag)) {
    if (tag == kSecurityTag && !securityRead && !loginRead) {
      std::uint32_t security = 0;
      std::string caFile;
      if (!archive.ReadU32(security) || !archive.ReadString(caFile) || security > 2) return false;
      loadedAccount.security = static_cast<ConnectionSecurity>(security);
      loadedAccount.caFile = std::move(caFile);
      securityRead = true;
    } else if (tag == kLoginTag && !loginRead) {
      // A damaged block must not quietly turn a token account into a password one.
      std::uint32_t auth = 0;
      if (!archive.ReadU32(auth) || !archive.ReadString(loadedAccount.tokenCommand) ||
          !archive.ReadString(loadedAccount.passwordCommand) || auth > 1) {
        return false;
      }
      loadedAccount.auth = static_cast<AuthMethod>(auth);
      loginRead = true;
    } else {
      break;
    }
  }
  loaded.options = UnpackWords(wordA, wordB);
  config = std::move(loaded);
  account = std::move(loadedAccount);
  return true;
}

std::string WriteServerListsArchive(const CUidList& deletedHere, const CUidList& pending) {
  std::string bytes;
  CArchiveWriter archive(bytes);
  deletedHere.Write(archive);
  pending.Write(archive);
  return bytes;
}

bool ReadServerListsArchive(std::string_view bytes, CUidList& deletedHere, CUidList& pending) {
  CArchiveReader archive(bytes);
  return deletedHere.Read(archive) && pending.Read(archive);
}

}  // namespace qm
