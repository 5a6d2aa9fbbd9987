#include "ui/model/viewer.h"

#include <gtest/gtest.h>

#include <string>

#include "message/mail_message.h"

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

// Quoted-printable bodies are decoded (the viewer window's tests show it); others stay.
TEST(ViewerContentTest, OtherEncodingsStayAndABareAddressIsTheSender) {
  const ViewerContent other = LoadViewerContent(
      Parsed("From: taro@example.org\r\nContent-Transfer-Encoding: 8bit\r\n\r\na=3Db\r\n.\r\n"));
  EXPECT_EQ(other.from + "|" + other.date + "|" + other.decodedBody, "taro@example.org||a=3Db\r\n");
  CMailViewerModel empty{CMailMessage{}};
  empty.ShowHeaderClicked(true);
  EXPECT_EQ(empty.Content().subject + empty.Content().storedText + empty.Body(), "\r\n");
}

std::string Mime(std::initializer_list<std::string_view> parts) {
  std::string text = "Subject: s\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (std::string_view part : parts) text += "--b\r\n" + std::string(part) + "\r\n";
  return text + "--b--\r\n.\r\n";
}

TEST(ViewerContentTest, TheBestTextPartThenTheAttachments) {
  EXPECT_EQ(
      LoadViewerContent(
          Parsed(Mime(
              {"Content-Type: text/plain\r\nContent-Disposition: attachment; "
               "filename=notes.txt\r\n\r\nnot shown",
               "Content-Type: text/plain\r\n\r\nshown",
               "Content-Type: application/octet-stream; name=\"=?UTF-8?Q?a=0D=0Ab?=\"\r\n\r\n"})))
          .decodedBody,
      "shown\r\n\r\n添付ファイル:\r\n  notes.txt (text/plain, 9 バイト)\r\n"
      "  a  b (application/octet-stream, 0 バイト)\r\n");
  // Nothing to show as text: the body as a whole, as before, and the part listed.
  EXPECT_EQ(LoadViewerContent(Parsed(Mime({"Content-Type: image/gif; name=x.gif\r\n\r\nGIF"})))
                .decodedBody,
            "--b\r\nContent-Type: image/gif; name=x.gif\r\n\r\nGIF\r\n--b--\r\n\r\n"
            "添付ファイル:\r\n  x.gif (image/gif, 3 バイト)\r\n");
}

// Clicks on the two boxes, "H" header and "U" undecoded, "+" ticking and "-" clearing.
TEST(ViewerBodyTest, TheBoxesChooseTheBody) {
  const struct {
    const char* clicks;
    bool showHeader, showUndecoded;
    ViewerBody body;
  } cases[] = {{"", false, false, ViewerBody::Decoded},
               {"H+", true, false, ViewerBody::HeaderAndDecoded},
               {"U+", true, true, ViewerBody::Stored},
               {"U+H-", false, false, ViewerBody::Decoded},
               {"U+U-", true, false, ViewerBody::HeaderAndDecoded}};
  for (const auto& c : cases) {
    CMailViewerModel viewer(Parsed(kQuotedPrintable));
    for (const char* click = c.clicks; *click != 0; click += 2)
      click[0] == 'H' ? viewer.ShowHeaderClicked(click[1] == '+')
                      : viewer.ShowUndecodedClicked(click[1] == '+');
    EXPECT_EQ(
        std::make_tuple(viewer.Checks().showHeader, viewer.Checks().showUndecoded, viewer.Body()),
        std::make_tuple(c.showHeader, c.showUndecoded, ViewerBodyText(viewer.Content(), c.body)))
        << c.clicks;
  }
  CMailViewerModel viewer(Parsed(kQuotedPrintable));
  viewer.ShowUndecodedClicked(true);
  EXPECT_EQ(viewer.Body(), kQuotedPrintable);
  viewer.ShowUndecodedClicked(false);
  EXPECT_EQ(viewer.Body(), viewer.Content().headerBlock + "\r\n" + viewer.Content().decodedBody);
}

}  // namespace
}  // namespace qm
