#include "cli/mail_rows.h"

#include "platform/time_format.h"
#include "store/mailbox.h"

namespace qm {

namespace {

// The list's date column; the year first, so that the text sorts by time.
constexpr const char* kDateFormat = "%Y %m/%d %X";

// One line per row, one column per field.
std::string Cell(std::string_view text) {
  std::string cell(text);
  for (char& c : cell) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return cell;
}

}  // namespace

MailRow MakeMailRow(const CMailbox& mailbox, int n) {
  const MailSummary& summary = mailbox.Summary(n);
  const CMailMark& mark = mailbox.Mark(n);
  MailRow row;
  row.number = n;
  row.reason = summary.reason;
  row.subject = summary.subject;
  row.senderName = summary.senderName;
  row.senderAddress = summary.senderAddress;
  row.received = summary.received;
  row.date = FormatLocalTime(kDateFormat, summary.received);
  row.verdict = summary.verdict;
  row.hidden = mark.Hidden();
  row.opened = mark.Opened();
  return row;
}

std::string_view VerdictName(int verdict) {
  switch (verdict) {
    case VerdictFriend:
      return "friend";
    case VerdictSpam:
      return "spam";
    case VerdictBad:
      return "bad";
    case VerdictOther:
      return "other";
    case VerdictUnclassified:
      return "unclassified";
    default:
      // Verdict bits that no classifier writes, from a damaged or foreign marks file.
      return "unknown";
  }
}

std::string FormatMailRow(const MailRow& row) {
  std::string line = std::to_string(row.number) + '\t' + std::to_string(row.reason) + '\t';
  for (const std::string* text : {&row.subject, &row.senderName, &row.senderAddress, &row.date}) {
    line += Cell(*text);
    line += '\t';
  }
  line += VerdictName(row.verdict);
  line += row.hidden ? "\thidden" : "\tvisible";
  line += row.opened ? "\tread" : "\tunread";
  return line;
}

nlohmann::ordered_json MailRowJson(const MailRow& row) {
  nlohmann::ordered_json json;
  json["number"] = row.number;
  json["reason"] = row.reason;
  json["subject"] = row.subject;
  json["senderName"] = row.senderName;
  json["senderAddress"] = row.senderAddress;
  json["date"] = row.date;
  json["received"] = row.received;
  json["verdict"] = VerdictName(row.verdict);
  json["hidden"] = row.hidden;
  json["opened"] = row.opened;
  return json;
}

}  // namespace qm
