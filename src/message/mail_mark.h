// The small persistent record that travels with each message: its flag word and the unique id that
// the remote server gave it. It lives beside the message model because every message carries one
// from the moment it is built; the store keeps them in its mark files.
#pragma once

#include <cstdint>
#include <string>

namespace qm {

// Classification results. The numbers are stored in mark files and settings: never renumber.
enum Verdict : int {
  VerdictOther = -1,
  VerdictFriend = 0,
  VerdictSpam = 1,
  VerdictBad = 2,
  VerdictUnclassified = 3,
};

// Which classifier rule decided the verdict (a 3-bit number in the mark).
enum Reason : unsigned {
  ReasonNone = 0,
  ReasonFriendList = 1,
  ReasonBadList = 2,
  ReasonUrlHostZone = 3,
  ReasonDomainZone = 4,
  ReasonRelayZoneA = 5,
  ReasonRelayZoneB = 6,
};

class CMailMark {
 public:
  static constexpr std::uint32_t MarkHidden = 1u << 0;
  static constexpr std::uint32_t MarkOpened = 1u << 1;
  static constexpr std::uint32_t VerdictShift = 2;
  static constexpr std::uint32_t VerdictMask = 7u << VerdictShift;
  static constexpr std::uint32_t ReasonShift = 5;
  static constexpr std::uint32_t ReasonMask = 7u << ReasonShift;
  // Not hidden, unread, unclassified, no reason.
  static constexpr std::uint32_t FreshFlags = static_cast<std::uint32_t>(VerdictUnclassified)
                                              << VerdictShift;

  // Bits 8-31 are unused by the program but kept as loaded.
  std::uint32_t flags = FreshFlags;
  // Empty when the store tracks no server copy of the message.
  std::string uidl;

  bool Hidden() const { return (flags & MarkHidden) != 0; }
  bool Opened() const { return (flags & MarkOpened) != 0; }
  void SetHidden(bool hidden) { hidden ? flags |= MarkHidden : flags &= ~MarkHidden; }
  void SetOpened(bool opened) { opened ? flags |= MarkOpened : flags &= ~MarkOpened; }

  // The verdict bits are a signed 3-bit number: 111 reads as -1.
  static int VerdictOf(std::uint32_t flags) {
    const int bits = static_cast<int>((flags & VerdictMask) >> VerdictShift);
    return bits >= 4 ? bits - 8 : bits;
  }
  static unsigned ReasonOf(std::uint32_t flags) { return (flags & ReasonMask) >> ReasonShift; }

  int GetVerdict() const { return VerdictOf(flags); }
  unsigned GetReason() const { return ReasonOf(flags); }
  // Writes bits 2-7 and leaves every other bit as it was.
  void SetClassification(int verdict, unsigned reason) {
    flags = (flags & ~(VerdictMask | ReasonMask)) |
            ((static_cast<std::uint32_t>(verdict) << VerdictShift) & VerdictMask) |
            ((reason << ReasonShift) & ReasonMask);
  }

  friend bool operator==(const CMailMark&, const CMailMark&) = default;
};

}  // namespace qm
