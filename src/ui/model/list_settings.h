// The mail list's settings: the column widths, the sort order and the empty-address rule, read when
// the list is first shown and written when the program ends.
#pragma once

#include <array>
#include <functional>
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
// Whether the settings file holds widths (the user's); without them the defaults are fitted to the
// font with FitDefaultWidths.
bool ColumnWidthsSaved(const CProfile& profile);
bool SaveColumnWidths(CProfile& profile, const ColumnWidths& widths);

// What a default column must show whole besides its heading: the widest number and date.
inline constexpr std::array<const char*, kMailColumnCount> kColumnSamples{
    "00000", "000", "", "", "", "0000 00/00 00:00:00"};

// How the list's fonts measure text, in pixels.
struct ListFontMetrics {
  std::function<int(std::string_view)> headingWidth;  // a heading with its sort indicator
  std::function<int(std::string_view)> textWidth;     // a cell's text, in bold as unread mail
  int padding = 0;                                    // a cell's margins
  int iconWidth = 0;                                  // the number column's pictures
};

// The default widths for the fonts the list is drawn in: each column at least wide enough for its
// heading and its sample, the subject and address narrower by what the others grew, so that the
// list stays as wide as designed (neither below half its designed width nor its heading).
ColumnWidths FitDefaultWidths(const ListFontMetrics& metrics);

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
