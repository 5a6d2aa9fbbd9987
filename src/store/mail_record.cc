#include "store/mail_record.h"

namespace qm {

void MakeSummary(CMailMessage& message, MailSummary& summary) {
  summary.verdict = message.mark.GetVerdict();
  summary.reason = message.mark.GetReason();
  summary.subject = message.Subject();
  summary.senderName = message.SenderName();
  summary.senderAddress = message.SenderAddress();
  summary.received = 0;
  message.ReceivedDate(summary.received);
}

}  // namespace qm
