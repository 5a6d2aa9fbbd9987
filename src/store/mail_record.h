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

  friend bool operator==(const MailSummary&, const MailSummary&) = default;
};

// Fills `summary` from a parsed message and its mark.
void MakeSummary(CMailMessage& message, MailSummary& summary);

}  // namespace qm
