#include "ui/model/list_settings.h"

#include <algorithm>

#include "platform/profile.h"

namespace qm {

namespace {

constexpr const char* kGeometrySection = "Geometry";
constexpr const char* kColumnWidthsKey = "ColSizes";
constexpr const char* kMailListSection = "MailList";
constexpr const char* kSortKey = "Sort";
constexpr const char* kReverseKey = "Reverse";

}  // namespace

ColumnWidths ParseColumnWidths(std::string_view text) {
  ColumnWidths widths{};
  std::size_t start = 0;
  for (int& width : widths) {
    if (start > text.size()) break;
    const std::size_t comma = text.find(',', start);
    const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
    width = std::max(0, LeadingInt(text.substr(start, end - start)));
    start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
  }
  return widths;
}

std::string FormatColumnWidths(const ColumnWidths& widths) {
  std::string text;
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(widths[i]);
  }
  return text;
}

bool ColumnWidthsSaved(const CProfile& profile) {
  return !profile.GetString(kGeometrySection, kColumnWidthsKey, "").empty();
}

ColumnWidths FitDefaultWidths(const ListFontMetrics& metrics) {
  const ColumnWidths designed = ParseColumnWidths(kColumnWidthsDefault);
  ColumnWidths widths{};
  ColumnWidths least{};
  for (std::size_t column = 0; column < widths.size(); ++column) {
    const int heading = metrics.headingWidth(kMailColumns[column].heading) + metrics.padding;
    int sample = metrics.textWidth(kColumnSamples[column]) + metrics.padding;
    if (column == ColumnNumber) sample += metrics.iconWidth;
    least[column] = std::max(heading, sample);
    widths[column] = std::max(designed[column], least[column]);
  }
  // The list keeps its designed width, which the window at its first size shows whole: what the
  // other columns grew is taken from the subject and the address, whose long texts are cut at
  // the end anyway.
  int excess = 0;
  for (std::size_t column = 0; column < widths.size(); ++column) {
    excess += widths[column] - designed[column];
  }
  int givers = 2;
  for (const int column : {ColumnSubject, ColumnSenderAddress}) {
    const auto at = static_cast<std::size_t>(column);
    const int floor = std::max(least[at], designed[at] / 2);
    const int share = (excess + givers - 1) / givers;
    --givers;
    const int taken = std::clamp(share, 0, std::max(0, widths[at] - floor));
    widths[at] -= taken;
    excess -= taken;
  }
  return widths;
}

ColumnWidths LoadColumnWidths(const CProfile& profile) {
  return ParseColumnWidths(
      profile.GetString(kGeometrySection, kColumnWidthsKey, kColumnWidthsDefault));
}

bool SaveColumnWidths(CProfile& profile, const ColumnWidths& widths) {
  return profile.WriteString(kGeometrySection, kColumnWidthsKey,
                             FormatColumnWidths(widths).c_str());
}

MailListSort LoadMailListSort(const CProfile& profile) {
  MailListSort sort;
  sort.column = profile.GetInt(kMailListSection, kSortKey, 0);
  if (sort.column < 0 || sort.column >= kMailColumnCount) sort.column = 0;
  sort.reverse = profile.GetInt(kMailListSection, kReverseKey, 0) != 0;
  return sort;
}

bool SaveMailListSort(CProfile& profile, const MailListSort& sort) {
  const bool column = profile.WriteInt(kMailListSection, kSortKey, sort.column);
  const bool reverse = profile.WriteInt(kMailListSection, kReverseKey, sort.reverse ? 1 : 0);
  return column && reverse;
}

bool LoadEmptyAddressIsBad(const CProfile& profile) {
  return profile.GetInt("ProcessMail", "AddEmptyAddrToBadlist", 0) != 0;
}

}  // namespace qm
