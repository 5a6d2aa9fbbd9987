// The mail list's settings: the column widths, the sort order and the empty-address rule, read when
// the list is first shown and written when the program ends.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "ui/model/mail_rows.h"

namespace qm {

class CProfile;

using ColumnWidths = std::array<int, kMailColumnCount>;

inline constexpr const char* kColumnWidthsDefault = "60,30,240,130,240,120";

// Six comma-separated numbers, each read from the start of its piece (see LeadingInt); missing
// pieces give 0, and so do negative ones: no column can be narrower than nothing.
ColumnWidths ParseColumnWidths(std::string_view text);
// "%d,%d,%d,%d,%d,%d".
std::string FormatColumnWidths(const ColumnWidths& widths);

ColumnWidths LoadColumnWidths(const CProfile& profile);
bool SaveColumnWidths(CProfile& profile, const ColumnWidths& widths);

struct MailListSort {
  int column = 0;
  bool reverse = false;
};

// A column outside 0..5, from a damaged or hand-edited file, falls back to the number column.
MailListSort LoadMailListSort(const CProfile& profile);
bool SaveMailListSort(CProfile& profile, const MailListSort& sort);

// Whether an empty sender address counts as listed in the bad list.
bool LoadEmptyAddressIsBad(const CProfile& profile);

}  // namespace qm
