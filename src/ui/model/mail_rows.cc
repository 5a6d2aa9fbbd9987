#include "ui/model/mail_rows.h"

#include <climits>

#include "message/mail_mark.h"
#include "platform/time_format.h"

namespace qm {

std::string MailDateText(std::int64_t received) {
  return FormatLocalTime(kMailDateFormat, received);
}

int VerdictImage(int verdict) {
  return verdict >= VerdictFriend && verdict <= VerdictUnclassified ? verdict : -1;
}

int StateImage(std::uint32_t flags) {
  return ((flags & CMailMark::MarkHidden) != 0 ? 1 : 0) +
         ((flags & CMailMark::MarkOpened) != 0 ? 0 : 2);
}

MailListRow MakeMailListRow(int number, const MailSummary& summary, std::uint32_t flags) {
  MailListRow row;
  row.number = number;
  row.serial = summary.serial;
  row.verdictImage = VerdictImage(summary.verdict);
  row.stateImage = StateImage(flags);
  row.texts[ColumnNumber] = std::to_string(number);
  row.texts[ColumnDetail] = std::to_string(summary.reason);
  row.texts[ColumnSubject] = summary.subject;
  row.texts[ColumnSenderName] = summary.senderName;
  row.texts[ColumnSenderAddress] = summary.senderAddress;
  row.texts[ColumnDate] = MailDateText(summary.received);
  return row;
}

int LeadingInt(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    // Settings files are edited by hand; a long digit run must not overflow.
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

int CompareColumnTexts(int column, std::string_view a, std::string_view b) {
  if (column == ColumnNumber || column == ColumnDetail) {
    const int x = LeadingInt(a);
    const int y = LeadingInt(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  if (column < 0 || column >= kMailColumnCount) return 0;
  // char_traits<char> compares as unsigned char, so multi-byte characters sort after ASCII.
  const int order = a.compare(b);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int CompareRows(const MailListRow& a, const MailListRow& b, int column, bool reverse) {
  if (column < 0 || column >= kMailColumnCount) return 0;
  const auto index = static_cast<std::size_t>(column);
  const int order = CompareColumnTexts(column, a.texts[index], b.texts[index]);
  return reverse ? -order : order;
}

}  // namespace qm
