#include "ui/model/viewer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/mail_message.h"
#include "support/scoped_time_zone.h"

namespace qm {
namespace {

CMailMessage Parsed(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  return message;
}

const std::string kQuotedPrintable =
    "Received: from relay by mx; Tue, 1 Apr 2025 10:00:00 +0900\r\n"
    "From: Hanako <hanako@example.org>\r\n"
    "Subject: hello\r\n"
    "Content-Transfer-Encoding: Quoted-Printable\r\n"
    "\r\n"
    "a=3Db=\r\nc\r\n"
    ".\r\n";

TEST(ViewerContentTest, FieldsOfAMailAndOnlyQuotedPrintableDecoded) {
  test::ScopedTimeZone zone("UTC0");
  const ViewerContent content = LoadViewerContent(Parsed(kQuotedPrintable));
  EXPECT_EQ(content.subject + "|" + content.from + "|" + content.date,
            "hello|Hanako|2025 04/01 10:00:00");
  EXPECT_NE(content.decodedBody.find("a=bc"), std::string::npos) << content.decodedBody;
  EXPECT_EQ(content.storedText, kQuotedPrintable);
  EXPECT_EQ(content.headerBlock.rfind("Received: ", 0), 0u) << content.headerBlock;
  EXPECT_NE(content.headerBlock.find("Subject: hello\r\n"), std::string::npos);
  const ViewerContent other = LoadViewerContent(
      Parsed("From: taro@example.org\r\nContent-Transfer-Encoding: 8bit\r\n\r\na=3Db\r\n.\r\n"));
  EXPECT_EQ(other.from + "|" + other.date, "taro@example.org|");
  EXPECT_NE(other.decodedBody.find("a=3Db"), std::string::npos) << other.decodedBody;
  CMailViewerModel empty{CMailMessage{}};
  EXPECT_EQ(empty.Content().subject + empty.Content().storedText + empty.Body(), "");
  empty.ShowHeaderClicked(true);
  EXPECT_EQ(empty.Body(), "\r\n");
}

// The decoded body: the text a reader is shown, then the attachments. Which text is shown is the
// message's own (the inspect command's tests check it against an independent reader).
struct ShownCase {
  const char* name;
  std::string message;
  std::string decodedBody;
};
void PrintTo(const ShownCase& c, std::ostream* os) { *os << c.name; }

class ShownTextTest : public ::testing::TestWithParam<ShownCase> {};
TEST_P(ShownTextTest, BestPartAndAttachments) {
  EXPECT_EQ(LoadViewerContent(Parsed(GetParam().message)).decodedBody, GetParam().decodedBody);
}

std::string Mime(const std::string& type, std::initializer_list<std::string_view> parts) {
  std::string text = "Subject: s\r\nContent-Type: " + type + "; boundary=b\r\n\r\n";
  for (std::string_view part : parts) text += "--b\r\n" + std::string(part) + "\r\n";
  return text + "--b--\r\n.\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ShownTextTest,
    ::testing::Values(
        // Names decoded from RFC 2231 and encoded words, on one line each; sizes decoded.
        ShownCase{
            "Attachments",
            Mime("multipart/mixed",
                 {"Content-Type: text/plain\r\nContent-Disposition: attachment; "
                  "filename=notes.txt\r\n\r\nnot shown",
                  "Content-Type: text/plain\r\n\r\nshown",
                  "Content-Type: application/pdf\r\nContent-Disposition: attachment;\r\n"
                  " filename*=UTF-8''%E8%A6%8B%E7%A9%8D.pdf\r\n"
                  "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQAAQI=",
                  "Content-Type: image/png; name=\"=?ISO-2022-JP?B?GyRCJCIbKEI=?=.png\"\r\n"
                  "\r\nPNG",
                  "Content-Type: application/octet-stream; name=\"=?UTF-8?Q?a=0D=0Ab?=\"\r\n\r\n",
                  "Content-Type: text/html\r\n\r\n<p>alternative</p>"}),
            "shown\r\n\r\n添付ファイル:\r\n  notes.txt (text/plain, 9 バイト)\r\n"
            "  見積.pdf (application/pdf, 11 バイト)\r\n  \xE3\x81\x82.png (image/png, 3 "
            "バイト)\r\n  a  b (application/octet-stream, 0 バイト)\r\n"},
        // Nothing to show as text: the body as a whole, as before, and the part listed.
        ShownCase{"NoTextPart",
                  Mime("multipart/mixed", {"Content-Type: image/gif; name=x.gif\r\n\r\nGIF"}),
                  "--b\r\nContent-Type: image/gif; name=x.gif\r\n\r\nGIF\r\n--b--\r\n\r\n"
                  "添付ファイル:\r\n  x.gif (image/gif, 3 バイト)\r\n"}),
    [](const auto& param) { return std::string(param.param.name); });

// Clicks on the two boxes, "H" header and "U" undecoded, "+" ticking and "-" clearing.
TEST(ViewerBodyTest, TheBoxesChooseTheBody) {
  const struct {
    const char* clicks;
    bool showHeader, showUndecoded;
    ViewerBody body;
  } cases[] = {{"", false, false, ViewerBody::Decoded},
               {"H+", true, false, ViewerBody::HeaderAndDecoded},
               {"H+H-", false, false, ViewerBody::Decoded},
               {"U+", true, true, ViewerBody::Stored},
               {"U+H-", false, false, ViewerBody::Decoded},
               {"U+U-", true, false, ViewerBody::HeaderAndDecoded}};
  for (const auto& c : cases) {
    CMailViewerModel viewer(Parsed(kQuotedPrintable));
    for (const char* click = c.clicks; *click != 0; click += 2)
      click[0] == 'H' ? viewer.ShowHeaderClicked(click[1] == '+')
                      : viewer.ShowUndecodedClicked(click[1] == '+');
    EXPECT_EQ(viewer.Checks().showHeader, c.showHeader) << c.clicks;
    EXPECT_EQ(viewer.Checks().showUndecoded, c.showUndecoded) << c.clicks;
    EXPECT_EQ(viewer.Body(), ViewerBodyText(viewer.Content(), c.body)) << c.clicks;
  }
  CMailViewerModel viewer(Parsed(kQuotedPrintable));
  viewer.ShowUndecodedClicked(true);
  EXPECT_EQ(viewer.Body(), kQuotedPrintable);
  viewer.ShowUndecodedClicked(false);
  EXPECT_EQ(viewer.Body(), viewer.Content().headerBlock + "\r\n" + viewer.Content().decodedBody);
}

TEST(ViewerPlacementTest, CascadeFromTheSavedPosition) {
  const ViewerRect designed{10, 20, 400, 300};
  ViewerGeometry saved;
  saved.x = 100;
  saved.y = 50;
  saved.width = 640;
  saved.height = 480;
  CViewerCount count;
  std::vector<ViewerRect> rects;
  for (int i = 0; i < 3; ++i) rects.push_back(ViewerOpeningRect(designed, saved, count.Opened()));
  EXPECT_EQ(rects, (std::vector<ViewerRect>{
                       {100, 50, 640, 480}, {130, 80, 640, 480}, {160, 110, 640, 480}}));
  count.Closed();
  count.Closed();
  EXPECT_EQ(ViewerOpeningRect(designed, saved, count.Opened()), (ViewerRect{130, 80, 640, 480}));

  // Only the keys that exist override the dialog's own rectangle.
  ViewerGeometry widthOnly;
  widthOnly.width = 500;
  EXPECT_EQ(ViewerOpeningRect(designed, widthOnly, 0), (ViewerRect{10, 20, 500, 300}));
}

TEST(ViewerPlacementTest, TheCountNeverGoesBelowZero) {
  CViewerCount count;
  count.Closed();
  EXPECT_EQ(count.Opened(), 0);
  EXPECT_EQ(count.Count(), 1);
}

TEST(ViewerPlacementTest, NeverSmallerThanAtOpening) {
  const struct {
    int width, height;
    bool fits;
    int fitWidth, fitHeight;
  } cases[] = {{400, 300, true, 400, 300},
               {800, 600, true, 800, 600},
               {399, 600, false, 400, 600},
               {800, 10, false, 800, 300},
               {0, 0, false, 400, 300}};
  for (const auto& c : cases) {
    const ViewerSizeCheck check = CheckViewerSize(c.width, c.height, 400, 300);
    EXPECT_EQ(std::make_tuple(check.fits, check.width, check.height),
              std::make_tuple(c.fits, c.fitWidth, c.fitHeight))
        << c.width << "x" << c.height;
  }
}

TEST(ViewerLayoutTest, BodyGrowsAndOkKeepsItsCorner) {
  // Designed: client 380 x 260, body at (0, 90) 380 x 140, OK at (300, 234).
  const ViewerMargins margins = MeasureViewerMargins(380, 260, {0, 90, 380, 140}, 300, 234);
  const ViewerLayout same = LayoutViewer(380, 260, margins);
  EXPECT_EQ(same.body, (ViewerRect{0, 90, 380, 140}));
  EXPECT_EQ(same.okLeft, 300);
  EXPECT_EQ(same.okTop, 234);

  const ViewerLayout bigger = LayoutViewer(600, 500, margins);
  EXPECT_EQ(bigger.body, (ViewerRect{0, 90, 600, 380}));
  EXPECT_EQ(bigger.okLeft, 520);
  EXPECT_EQ(bigger.okTop, 474);

  // A body that starts right of the edge takes the width beside it.
  const ViewerMargins indented = MeasureViewerMargins(380, 260, {8, 90, 364, 140}, 300, 234);
  EXPECT_EQ(LayoutViewer(600, 500, indented).body, (ViewerRect{8, 90, 592, 380}));
  EXPECT_EQ(LayoutViewer(4, 10, indented).body, (ViewerRect{8, 90, 0, 0}));
}

}  // namespace
}  // namespace qm
