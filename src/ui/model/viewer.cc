#include "ui/model/viewer.h"

#include <algorithm>

#include "message/body_parts.h"
#include "message/mail_message.h"
#include "platform/code_page.h"
#include "platform/profile.h"
#include "ui/model/mail_rows.h"

namespace qm {

namespace {

constexpr const char* kGeometrySection = "Geometry";
constexpr const char* kXKey = "MailView_x";
constexpr const char* kYKey = "MailView_y";
constexpr const char* kWidthKey = "MailView_w";
constexpr const char* kHeightKey = "MailView_h";

std::optional<int> OptionalInt(const CProfile& profile, const char* key) {
  if (profile.GetString(kGeometrySection, key, "").empty()) return std::nullopt;
  return profile.GetInt(kGeometrySection, key, 0);
}

// A name on one line: control characters, line breaks among them, become spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

std::string ViewerDecodedBody(CMailMessage& message) {
  std::string text;
  if (!message.DecodeShownText(text)) return text;
  const std::vector<MimeLeaf> leaves = StoredMessageParts(message.Text());
  const std::size_t shown =
      IsSinglePart(leaves) && leaves.front().IsText() && !leaves.front().attachment
          ? 0
          : BestTextPart(leaves);
  std::string list;
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const MimeLeaf& leaf = leaves[i];
    if (i == shown || !(leaf.attachment || !leaf.IsText() || !leaf.fileName.empty())) continue;
    const std::string name = OneLine(PartFileName(leaf));
    list += "  " + (name.empty() ? std::string("名前なし") : name) + " (" + OneLine(leaf.type) +
            ", " + std::to_string(PartSize(message.Text(), leaf)) + " バイト)\r\n";
  }
  if (list.empty()) return text;
  if (!text.empty() && text.back() != '\n') text += "\r\n";
  return text + "\r\n添付ファイル:\r\n" + list;
}

ViewerContent LoadViewerContent(const CMailMessage& message) {
  ViewerContent content;
  CMailMessage copy(message);
  if (!copy.HasText() || copy.Text().empty()) return content;
  content.decodedBody = ViewerDecodedBody(copy);
  copy.DecodedHeaderText(content.headerBlock);
  content.storedText = UndeclaredToUtf8(copy.Text());
  content.subject = copy.Subject();
  content.from = copy.DisplaySender();
  std::int64_t received = 0;
  if (copy.ReceivedDate(received)) content.date = MailDateText(received);
  return content;
}

ViewerBody OnShowHeaderClicked(ViewerChecks& checks) {
  checks.showUndecoded = false;
  return checks.showHeader ? ViewerBody::HeaderAndDecoded : ViewerBody::Decoded;
}

ViewerBody OnShowUndecodedClicked(ViewerChecks& checks) {
  if (checks.showUndecoded) {
    checks.showHeader = true;
    return ViewerBody::Stored;
  }
  // The header box stays as it is; the body goes back to the decoded text with its header.
  return ViewerBody::HeaderAndDecoded;
}

std::string ViewerBodyText(const ViewerContent& content, ViewerBody body) {
  switch (body) {
    case ViewerBody::HeaderAndDecoded:
      return content.headerBlock + "\r\n" + content.decodedBody;
    case ViewerBody::Stored:
      return content.storedText;
    case ViewerBody::Decoded:
      break;
  }
  return content.decodedBody;
}

CMailViewerModel::CMailViewerModel(const CMailMessage& message)
    : content(LoadViewerContent(message)), body(content.decodedBody) {}

void CMailViewerModel::ShowHeaderClicked(bool checked) {
  checks.showHeader = checked;
  body = ViewerBodyText(content, OnShowHeaderClicked(checks));
}

void CMailViewerModel::ShowUndecodedClicked(bool checked) {
  checks.showUndecoded = checked;
  body = ViewerBodyText(content, OnShowUndecodedClicked(checks));
}

ViewerGeometry LoadViewerGeometry(const CProfile& profile) {
  ViewerGeometry geometry;
  geometry.x = OptionalInt(profile, kXKey);
  geometry.y = OptionalInt(profile, kYKey);
  geometry.width = OptionalInt(profile, kWidthKey);
  geometry.height = OptionalInt(profile, kHeightKey);
  return geometry;
}

bool SaveViewerGeometry(CProfile& profile, const ViewerRect& rect) {
  bool ok = profile.WriteInt(kGeometrySection, kXKey, rect.x);
  ok = profile.WriteInt(kGeometrySection, kYKey, rect.y) && ok;
  ok = profile.WriteInt(kGeometrySection, kWidthKey, rect.width) && ok;
  ok = profile.WriteInt(kGeometrySection, kHeightKey, rect.height) && ok;
  return ok;
}

ViewerRect ViewerOpeningRect(const ViewerRect& designed, const ViewerGeometry& saved,
                             int openViewers) {
  ViewerRect rect = designed;
  if (saved.width) rect.width = *saved.width;
  if (saved.height) rect.height = *saved.height;
  if (saved.x) rect.x = *saved.x;
  if (saved.y) rect.y = *saved.y;
  const int offset = kViewerCascadeStep * std::max(0, openViewers);
  rect.x += offset;
  rect.y += offset;
  return rect;
}

ViewerSizeCheck CheckViewerSize(int width, int height, int minimumWidth, int minimumHeight) {
  ViewerSizeCheck check;
  check.width = std::max(width, minimumWidth);
  check.height = std::max(height, minimumHeight);
  check.fits = width >= minimumWidth && height >= minimumHeight;
  return check;
}

ViewerMargins MeasureViewerMargins(int clientWidth, int clientHeight, const ViewerRect& body,
                                   int okLeft, int okTop) {
  ViewerMargins margins;
  margins.bodyLeft = body.x;
  margins.bodyTop = body.y;
  margins.heightBesideBody = clientHeight - body.height;
  margins.okFromRight = clientWidth - okLeft;
  margins.okFromBottom = clientHeight - okTop;
  return margins;
}

ViewerLayout LayoutViewer(int clientWidth, int clientHeight, const ViewerMargins& margins) {
  ViewerLayout layout;
  // The field starts at its designed left edge, so it takes the width right of it: the full
  // client width from there would push its scroll bar out of sight.
  layout.body = {margins.bodyLeft, margins.bodyTop, std::max(0, clientWidth - margins.bodyLeft),
                 std::max(0, clientHeight - margins.heightBesideBody)};
  layout.okLeft = clientWidth - margins.okFromRight;
  layout.okTop = clientHeight - margins.okFromBottom;
  return layout;
}

}  // namespace qm
