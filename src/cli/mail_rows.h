// The rows of the mail list as the command line prints them: one per message, in mailbox order.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace qm {

class CMailbox;

struct MailRow {
  int number = 0;
  unsigned reason = 0;
  // Mail text in UTF-8, as decoded.
  std::string subject;
  std::string senderName;
  std::string senderAddress;
  // The first Received field's date in local time, as the list shows it.
  std::string date;
  std::int64_t received = 0;
  int verdict = 0;
  bool hidden = false;
  bool opened = false;
};

// The row of message n (1-based) of `mailbox`.
MailRow MakeMailRow(const CMailbox& mailbox, int n);

// "friend", "spam", "bad", "other", "unclassified", or "unknown" for any other value.
std::string_view VerdictName(int verdict);

// Tab-separated: number, reason, subject, display name, address, date, verdict, "hidden" or
// "visible", "read" or "unread". Tabs and line breaks inside the text become spaces.
std::string FormatMailRow(const MailRow& row);
nlohmann::ordered_json MailRowJson(const MailRow& row);

}  // namespace qm
