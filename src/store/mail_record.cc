#include "store/mail_record.h"

#include <atomic>

namespace qm {

namespace {

std::atomic<std::uint64_t> lastSerial{0};

}  // namespace

void MakeSummary(CMailMessage& message, MailSummary& summary) {
  summary.serial = ++lastSerial;
  summary.verdict = message.mark.GetVerdict();
  summary.reason = message.mark.GetReason();
  summary.subject = message.Subject();
  summary.senderName = message.SenderName();
  summary.senderAddress = message.SenderAddress();
  summary.received = 0;
  message.ReceivedDate(summary.received);
}

}  // namespace qm
