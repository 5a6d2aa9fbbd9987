// The texts of the main window that count mail: the status bar's two count panes, the entries of
// the mailbox selector and of the tray's mailbox menu, and the tray icon's tip. Entries hold the
// mailbox name's bytes as the file system names it; the windows show them with
// MailboxNameForDisplay.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

class CMailboxSet;

// A mailbox name as the windows show it. Names are UTF-8; a name that is not (a working directory
// carried over from a system that wrote code page 932) is shown converted from code page 932.
std::string MailboxNameForDisplay(std::string_view name);

// "%d ( %d )": all mails and the unread ones.
std::string CountsText(int total, int unread);

// "%d ( %d ) - %d ( %d ) %s": the mailbox's mails and unread ones, its dustbox's, and its name.
std::string MailboxEntryText(int total, int unread, int dustboxTotal, int dustboxUnread,
                             std::string_view name);
// The entry of the mailbox at `index`; empty for an index out of range.
std::string MailboxEntryText(const CMailboxSet& mailboxes, int index);
// One entry per mailbox, in mailbox order.
std::vector<std::string> MailboxEntries(const CMailboxSet& mailboxes);

// The shell's tip field holds 63 bytes and a terminating zero.
inline constexpr std::size_t kTrayTipLimit = 63;
inline constexpr const char* kTrayTipHeading = "Quillmoor Mail Filter\n";

// The heading, the mailbox counts, " / " and the dustbox counts, cut to kTrayTipLimit bytes.
std::string TrayTipText(std::string_view mailboxCounts, std::string_view dustboxCounts);

struct FrameCounts {
  std::string mailboxCounts;
  std::string dustboxCounts;
  std::string trayTip;
};
// The counts over every mailbox, and over every dustbox; zeros when there are no mailboxes.
FrameCounts ComputeFrameCounts(const CMailboxSet& mailboxes);

// The tray's mailbox menu gives mailbox i the command kFirstMailboxCommand + i; the frame
// handles commands up to kLastMailboxCommand only, so the menu lists at most that many mailboxes.
inline constexpr int kFirstMailboxCommand = 35000;
inline constexpr int kLastMailboxCommand = 35100;
int MailboxMenuEntryCount(int mailboxCount);
// The mailbox index of a menu command, or -1 when the command is not a mailbox entry.
int MailboxOfMenuCommand(int command);

}  // namespace qm
