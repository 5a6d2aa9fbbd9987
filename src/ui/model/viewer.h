// The mail viewer without its dialog: what its fields show, what the two check boxes do to each
// other and to the text, where a new viewer opens, and how its parts follow the window's size.
#pragma once

#include <optional>
#include <string>

namespace qm {

class CMailMessage;
class CProfile;

// All text in UTF-8.
struct ViewerContent {
  std::string subject;
  std::string from;  // the display name, or the address when there is none
  std::string date;  // empty when no Received field gives a date
  std::string decodedBody;
  std::string headerBlock;  // "Name: decoded value\r\n" per field, in header order
  // The mail as stored, its bytes read as UTF-8 when they are UTF-8, else as code page 932.
  std::string storedText;
};

// The decoded body a viewer shows: the text a reader is shown (CMailMessage::DecodeShownText)
// and below it, after the line "添付ファイル:", one line per attached part: its decoded name,
// type and decoded size ("  name.pdf (application/pdf, 12345 バイト)"). Attached parts are
// those other than the text shown that are attachments, are not text or have a file name.
std::string ViewerDecodedBody(CMailMessage& message);

// Reads everything a viewer can show from its own copy of the mail, so that later changes to the
// mailbox do not reach an open viewer. A mail without text gives empty fields.
ViewerContent LoadViewerContent(const CMailMessage& message);

enum class ViewerBody { Decoded, HeaderAndDecoded, Stored };

struct ViewerChecks {
  bool showHeader = false;
  bool showUndecoded = false;
};

// The check-box handlers. Each gets the boxes as they stand after the click and returns what the
// body field shows; `checks` comes back as the boxes are to be shown.
ViewerBody OnShowHeaderClicked(ViewerChecks& checks);
ViewerBody OnShowUndecodedClicked(ViewerChecks& checks);

std::string ViewerBodyText(const ViewerContent& content, ViewerBody body);

// One viewer's fields and check boxes.
class CMailViewerModel {
 public:
  explicit CMailViewerModel(const CMailMessage& message);

  const ViewerContent& Content() const { return content; }
  const ViewerChecks& Checks() const { return checks; }
  const std::string& Body() const { return body; }
  // `checked`: the box's state after the click.
  void ShowHeaderClicked(bool checked);
  void ShowUndecodedClicked(bool checked);

 private:
  ViewerContent content;
  ViewerChecks checks;
  std::string body;
};

struct ViewerRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const ViewerRect&, const ViewerRect&) = default;
};

// Each open viewer moves the next one this far right and down.
inline constexpr int kViewerCascadeStep = 30;

// The saved geometry, each of the four keys on its own.
struct ViewerGeometry {
  std::optional<int> x;
  std::optional<int> y;
  std::optional<int> width;
  std::optional<int> height;
};
ViewerGeometry LoadViewerGeometry(const CProfile& profile);
// Written when a viewer closes: the last one closed decides where the next opens.
bool SaveViewerGeometry(CProfile& profile, const ViewerRect& rect);

// The rectangle a viewer opens with: the dialog's own, overridden by the saved keys that exist,
// moved by the cascade step for every viewer already open.
ViewerRect ViewerOpeningRect(const ViewerRect& designed, const ViewerGeometry& saved,
                             int openViewers);

// The number of open viewers, program-wide.
class CViewerCount {
 public:
  // A viewer opens: how many were open before it.
  int Opened() { return count++; }
  void Closed() {
    if (count > 0) --count;
  }
  int Count() const { return count; }

 private:
  int count = 0;
};

// The window never gets smaller than it opened. `width`/`height` are what the window must be;
// `fits` is false when it has to be set back to them.
struct ViewerSizeCheck {
  bool fits = true;
  int width = 0;
  int height = 0;
};
ViewerSizeCheck CheckViewerSize(int width, int height, int minimumWidth, int minimumHeight);

// Measured once from the dialog as designed, in client coordinates.
struct ViewerMargins {
  int bodyLeft = 0;
  int bodyTop = 0;
  int heightBesideBody = 0;  // client height not taken by the body field
  int okFromRight = 0;       // client width minus the OK button's left edge
  int okFromBottom = 0;      // client height minus its top edge
};
ViewerMargins MeasureViewerMargins(int clientWidth, int clientHeight, const ViewerRect& body,
                                   int okLeft, int okTop);

struct ViewerLayout {
  ViewerRect body;
  int okLeft = 0;
  int okTop = 0;
};
// The body field fills the client area right of and below its place, less the space the other
// controls need; the OK button keeps its distance from the bottom-right corner.
ViewerLayout LayoutViewer(int clientWidth, int clientHeight, const ViewerMargins& margins);

}  // namespace qm
