#include "ui/model/viewer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mailboxes/mailbox_set_fixture.h"
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

TEST(ViewerContentTest, FieldsOfAQuotedPrintableMail) {
  test::ScopedTimeZone zone("UTC0");
  const ViewerContent content = LoadViewerContent(Parsed(kQuotedPrintable));
  EXPECT_EQ(content.subject, "hello");
  EXPECT_EQ(content.from, "Hanako");
  EXPECT_EQ(content.date, "2025 04/01 10:00:00");
  EXPECT_NE(content.decodedBody.find("a=bc"), std::string::npos) << content.decodedBody;
  EXPECT_EQ(content.storedText, kQuotedPrintable);
  EXPECT_EQ(content.headerBlock.rfind("Received: ", 0), 0u) << content.headerBlock;
  EXPECT_NE(content.headerBlock.find("Subject: hello\r\n"), std::string::npos);
}

TEST(ViewerContentTest, OtherEncodingsStayAndABareAddressIsTheSender) {
  const std::string text =
      "From: taro@example.org\r\nContent-Transfer-Encoding: 8bit\r\n\r\na=3Db\r\n.\r\n";
  const ViewerContent content = LoadViewerContent(Parsed(text));
  EXPECT_EQ(content.from, "taro@example.org");
  EXPECT_EQ(content.date, "");
  EXPECT_NE(content.decodedBody.find("a=3Db"), std::string::npos) << content.decodedBody;
}

TEST(ViewerContentTest, AMailWithoutTextGivesEmptyFields) {
  CMailViewerModel viewer{CMailMessage{}};
  EXPECT_EQ(viewer.Content().subject, "");
  EXPECT_EQ(viewer.Content().storedText, "");
  EXPECT_EQ(viewer.Body(), "");
  viewer.ShowHeaderClicked(true);
  EXPECT_EQ(viewer.Body(), "\r\n");
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

struct Click {
  bool header;  // which box: header, else undecoded
  bool checked;
};
struct CheckCase {
  const char* name;
  std::vector<Click> clicks;
  bool showHeader;
  bool showUndecoded;
  ViewerBody body;
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class CheckBoxTest : public ::testing::TestWithParam<CheckCase> {};
TEST_P(CheckBoxTest, BoxesAndBody) {
  CMailViewerModel viewer(Parsed(kQuotedPrintable));
  for (const Click& click : GetParam().clicks) {
    click.header ? viewer.ShowHeaderClicked(click.checked)
                 : viewer.ShowUndecodedClicked(click.checked);
  }
  EXPECT_EQ(viewer.Checks().showHeader, GetParam().showHeader);
  EXPECT_EQ(viewer.Checks().showUndecoded, GetParam().showUndecoded);
  EXPECT_EQ(viewer.Body(), ViewerBodyText(viewer.Content(), GetParam().body));
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, CheckBoxTest,
    ::testing::Values(
        CheckCase{"opened", {}, false, false, ViewerBody::Decoded},
        CheckCase{"header on", {{true, true}}, true, false, ViewerBody::HeaderAndDecoded},
        CheckCase{
            "header on, off", {{true, true}, {true, false}}, false, false, ViewerBody::Decoded},
        CheckCase{"undecoded", {{false, true}}, true, true, ViewerBody::Stored},
        CheckCase{"undecoded, then header off",
                  {{false, true}, {true, false}},
                  false,
                  false,
                  ViewerBody::Decoded},
        CheckCase{"undecoded on, off",
                  {{false, true}, {false, false}},
                  true,
                  false,
                  ViewerBody::HeaderAndDecoded}));

TEST(ViewerBodyTest, StoredTextIsByteForByte) {
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

TEST(ViewerPlacementTest, CountNeverGoesBelowZero) {
  CViewerCount count;
  count.Closed();
  EXPECT_EQ(count.Count(), 0);
  EXPECT_EQ(count.Opened(), 0);
  EXPECT_EQ(count.Count(), 1);
}

using ViewerGeometryTest = test::MailboxSetTest;

TEST_F(ViewerGeometryTest, SavedByTheLastViewerClosed) {
  ViewerGeometry geometry = LoadViewerGeometry(profile);
  EXPECT_FALSE(geometry.x || geometry.y || geometry.width || geometry.height);
  ASSERT_TRUE(SaveViewerGeometry(profile, {5, 6, 700, 500}));
  ASSERT_TRUE(SaveViewerGeometry(profile, {-8, 9, 710, 510}));
  geometry = LoadViewerGeometry(profile);
  EXPECT_EQ(geometry.x, -8);
  EXPECT_EQ(geometry.y, 9);
  EXPECT_EQ(geometry.width, 710);
  EXPECT_EQ(geometry.height, 510);
}

struct SizeCase {
  int width;
  int height;
  ViewerSizeCheck check;
};
class SizeTest : public ::testing::TestWithParam<SizeCase> {};
TEST_P(SizeTest, NeverSmallerThanAtOpening) {
  const ViewerSizeCheck check = CheckViewerSize(GetParam().width, GetParam().height, 400, 300);
  EXPECT_EQ(check.fits, GetParam().check.fits);
  EXPECT_EQ(check.width, GetParam().check.width);
  EXPECT_EQ(check.height, GetParam().check.height);
}
INSTANTIATE_TEST_SUITE_P(Sizes, SizeTest,
                         ::testing::Values(SizeCase{400, 300, {true, 400, 300}},
                                           SizeCase{800, 600, {true, 800, 600}},
                                           SizeCase{399, 600, {false, 400, 600}},
                                           SizeCase{800, 10, {false, 800, 300}},
                                           SizeCase{0, 0, {false, 400, 300}}));

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
