// The settings of one mailbox, shared by the mailbox and its dustbox, and the two decisions the
// store takes from them: what becomes of a freshly retrieved message, and whether a message's
// copy on the server is exempt from deletion.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// What becomes of a message's copy on the remote server. Stored in bits 1-2 of the options.
enum ServerDeletion : std::uint32_t {
  KeepOnServer = 0,
  DeleteWhenRetrieved = 1,
  DeleteWhenDustboxed = 2,
  DeleteWhenPurged = 3,
};

struct Disposition {
  bool toDustbox = false;
  bool hide = false;
  bool deleteNow = false;
};

class CMailboxConfig {
 public:
  // Bits of `options`; the numbers are stored in the settings files: never renumber.
  enum Option : std::uint32_t {
    DustboxAccess = 1u << 0,
    ServerDeletionMask = 3u << 1,
    OnDemandRetrieval = 1u << 3,
    OpenDustboxAtExit = 1u << 4,
    NotifyFriend = 1u << 5,
    NotifyBad = 1u << 6,
    NotifySpam = 1u << 7,
    NotifyOther = 1u << 8,
    DustboxFriend = 1u << 9,
    DustboxBad = 1u << 10,
    DustboxSpam = 1u << 11,
    DustboxOther = 1u << 12,
    HideFriend = 1u << 13,
    HideBad = 1u << 14,
    HideSpam = 1u << 15,
    HideOther = 1u << 16,
    LimitDustbox = 1u << 17,
    KeepFriendOnServer = 1u << 18,
    KeepOtherOnServer = 1u << 19,
  };
  static constexpr std::uint32_t ServerDeletionShift = 1;
  // Notify friend and other mail, bad and spam mail to the dustbox, the dustbox limited, server
  // copies deleted on retrieval.
  static constexpr std::uint32_t DefaultOptions = 0x00020D22;
  static constexpr std::uint32_t DefaultTimerInterval = 180;
  static constexpr std::uint32_t DefaultDustboxLimit = 100;

  std::string localUser;
  std::string localPassword;
  std::string dustboxUser;
  std::string dustboxPassword;
  std::uint32_t timerInterval = DefaultTimerInterval;  // seconds; 0 = no timer retrieval
  std::uint32_t dustboxLimit = DefaultDustboxLimit;    // messages
  std::uint32_t options = DefaultOptions;

  bool Has(Option option) const { return (options & option) != 0; }
  void Set(Option option, bool on) { on ? options |= option : options &= ~option; }

  ServerDeletion GetServerDeletion() const {
    return static_cast<ServerDeletion>((options & ServerDeletionMask) >> ServerDeletionShift);
  }
  void SetServerDeletion(ServerDeletion policy) {
    options = (options & ~ServerDeletionMask) |
              ((static_cast<std::uint32_t>(policy) << ServerDeletionShift) & ServerDeletionMask);
  }

  // Whether the server copy of a message of this verdict is exempt from deletion: never for spam
  // and bad mail; by the friend exemption for friend mail; by the other exemption for the rest
  // (unclassified mail included).
  bool KeepOnServerRule(int verdict) const;

  // For a freshly retrieved message of this verdict: whether it goes to the dustbox, whether it is
  // hidden, and whether its server copy is deleted in the same connection.
  Disposition DispositionOf(int verdict) const;

  friend bool operator==(const CMailboxConfig&, const CMailboxConfig&) = default;
};

}  // namespace qm
