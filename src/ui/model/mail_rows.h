// One row of the mail list per stored mail: the number that ties it to the mail, its two icons
// and the six column texts, in UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/mail_record.h"

namespace qm {

inline constexpr int kMailColumnCount = 6;

enum MailColumn : int {
  ColumnNumber = 0,
  ColumnDetail = 1,
  ColumnSubject = 2,
  ColumnSenderName = 3,
  ColumnSenderAddress = 4,
  ColumnDate = 5,
};

struct MailColumnInfo {
  const char* heading;
  bool rightAligned;
  int defaultWidth;
};

// In column order.
inline constexpr std::array<MailColumnInfo, kMailColumnCount> kMailColumns{{
    {"No", true, 60},
    {"Detail", false, 30},
    {"Subject", false, 240},
    {"Display Name", false, 130},
    {"Mail Address", false, 240},
    {"Date", false, 120},
}};

// The year comes first so that the formatted dates sort in time order as plain text.
inline constexpr const char* kMailDateFormat = "%Y %m/%d %X";

// The date column's text for a received time (seconds since 1970, 0 when the mail had no
// Received field), in local time; empty when the time cannot be represented.
std::string MailDateText(std::int64_t received);

// The verdict icon: the verdict itself for friend, spam, bad and unclassified mail, -1 (no icon)
// for mail of the class other and for verdict bits no classifier writes.
int VerdictImage(int verdict);

// 0 read and shown, 1 read and hidden, 2 unread and shown, 3 unread and hidden; 0 draws no icon.
int StateImage(std::uint32_t flags);

struct MailListRow {
  // The mail's 1-based number in the displayed mailbox.
  int number = 0;
  // The stored message's serial: what the row shows, whatever its number has become.
  std::uint64_t serial = 0;
  int verdictImage = -1;
  int stateImage = 0;
  std::array<std::string, kMailColumnCount> texts;

  friend bool operator==(const MailListRow&, const MailListRow&) = default;
};

MailListRow MakeMailListRow(int number, const MailSummary& summary, std::uint32_t flags);

// The number at the start of a text as the C library's atoi reads it (blanks, a sign, digits),
// 0 when there is none; values beyond the int range saturate instead of overflowing.
int LeadingInt(std::string_view text);

// Negative, 0 or positive as `a` sorts before, with or after `b` in `column`: the number and
// detail columns by their leading integers, the others byte by byte (which is the order of the
// characters' code points in UTF-8). 0 for a column that does not exist.
int CompareColumnTexts(int column, std::string_view a, std::string_view b);

// The same for two rows, turned round for a descending sort.
int CompareRows(const MailListRow& a, const MailListRow& b, int column, bool reverse);

}  // namespace qm
