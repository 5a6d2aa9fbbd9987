// The list row of a stored message.
#pragma once

#include <cstdint>
#include <string>

#include "message/mail_mark.h"
#include "message/mail_message.h"

namespace qm {

struct MailSummary {
  std::int32_t verdict = 0;
  std::uint32_t reason = 0;
  std::string subject;
  std::string senderName;
  std::string senderAddress;
  // Seconds since 1970 of the first Received field's date; 0 when there is none.
  std::int64_t received = 0;
  // Which stored message this is while the process runs: a fresh number whenever a message is
  // read into a mailbox's index, kept when it moves to the dustbox and back. A list row keeps it
  // so that a command acts on the message the row shows, however the numbers moved meanwhile.
  std::uint64_t serial = 0;

  friend bool operator==(const MailSummary&, const MailSummary&) = default;
};

// Fills `summary` from a parsed message and its mark, with a new serial.
void MakeSummary(CMailMessage& message, MailSummary& summary);

// A stored message as the mail list shows it.
struct ListedMail {
  MailSummary summary;
  std::uint32_t flags = 0;
};

}  // namespace qm
