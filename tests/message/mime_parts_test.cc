#include "message/mime_parts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

// Each leaf as "type charset encoding name attachment depth [body]".
std::vector<std::string> Described(std::string_view message, MimeLimits limits = {}) {
  std::vector<std::string> lines;
  for (const MimeLeaf& leaf : WalkMimeParts(message, limits)) {
    lines.push_back(leaf.type + " " + leaf.charset + " " + leaf.encoding + " " + leaf.fileName +
                    " " + (leaf.attachment ? "a" : "i") + " " + std::to_string(leaf.depth) + " [" +
                    std::string(message.substr(leaf.offset, leaf.length)) + "]");
  }
  return lines;
}

const std::string kNested =
    "Content-Type: multipart/mixed; boundary=\"outer b\"\r\n\r\n"
    "preamble\r\n"
    "--outer b\r\n"
    "Content-Type: multipart/alternative;\r\n boundary=inner\r\n\r\n"
    "--inner\r\n"
    "Content-Type: text/plain; charset=UTF-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
    "plain=E6=97=A5\r\n"
    "--inner\r\n"
    "Content-Type: text/html; charset=\"iso-2022-jp\"\r\n"
    "Content-Transfer-Encoding: BASE64\r\n\r\n"
    "PGEgaHJlZj0iaHR0cDovL3guZXhhbXBsZS8iPg==\r\n"
    "--inner--\r\n"
    "--outer b  \r\n"
    "Content-Type: application/pdf; name=old.pdf\r\n"
    "Content-Disposition: attachment; filename=\"a \\\"b\\\".pdf\"\r\n\r\n"
    "%PDF\r\n"
    "--outer b--\r\n"
    "epilogue\r\n";

TEST(MimeWalkTest, FindsTheLeavesInOrder) {
  const struct {
    const char* name;
    std::string message;
    std::vector<std::string> leaves;
  } cases[] = {
      // clang-format off
        {"NoHeader", "\r\nbody\r\n", {"text/plain    i 0 [body\r\n]"}},
        {"Nested", kNested, {"text/plain utf-8 quoted-printable  i 2 [plain=E6=97=A5]",
                 "text/html iso-2022-jp base64  i 2 [PGEgaHJlZj0iaHR0cDovL3guZXhhbXBsZS8iPg==]",
                 "application/pdf   a \"b\".pdf a 1 [%PDF]"}},
        {"LfLinesAndNoClosingDelimiter", "Content-Type: Multipart/Related; boundary=b\n\n"
                 "--b\n\nfirst\n--b\nsecond\n",
                 {"text/plain    i 1 [first]", "text/plain    i 1 [second\n]"}},
        {"EmbeddedMessage", "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                 "Content-Type: message/rfc822\r\n\r\nSubject: inner\r\nContent-Type: text/html\r\n"
                 "\r\n<p>x</p>\r\n--b--\r\n", {"text/html    i 2 [<p>x</p>]"}},
        {"DigestPartsAreMessages", "Content-Type: multipart/digest; boundary=d\r\n\r\n"
                 "--d\r\n\r\nContent-Type: text/plain; charset=koi8-r\r\n\r\nx\r\n--d--\r\n",
                 {"text/plain koi8-r   i 2 [x]"}},
        // What cannot be split is read as the text it is.
        {"NoBoundaryParameter", "Content-Type: multipart/mixed\r\n\r\n--b\r\nx\r\n",
                 {"text/plain    i 0 [--b\r\nx\r\n]"}},
        {"BoundaryNeverSeen", "Content-Type: multipart/mixed; boundary=b\r\n\r\nx\r\n",
                 {"text/plain    i 0 [x\r\n]"}},
        {"EncodedMultipart", "Content-Type: multipart/mixed; boundary=b\r\n"
                 "Content-Transfer-Encoding: base64\r\n\r\nLS1i\r\n",
                 {"text/plain  base64  i 0 [LS1i\r\n]"}},
        {"NotAMediaType", "Content-Type: text\r\n\r\nx", {"text/plain    i 0 [x]"}},
        {"LongerBoundaryIsNoDelimiter", "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
                 "--b\r\n\r\n--bb\r\n--b--", {"text/plain    i 1 [--bb]"}},
        {"ExtendedFileName", "Content-Type: application/octet-stream;\r\n"
                 " name*0*=utf-8''%E6%97%A5; name*1=\".txt\"\r\n\r\nx",
                 {"application/octet-stream   \xE6\x97\xA5.txt i 0 [x]"}},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(Described(c.message), c.leaves) << c.name;
}

TEST(MimeWalkLimitsTest, DeepNestingEndsInALeafAndManyPartsAreCut) {
  std::string deep;
  for (int i = 0; i < 40; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
            std::to_string(i) + "\r\n";
  }
  deep += "\r\nx";
  const std::vector<MimeLeaf> leaves = WalkMimeParts(deep, {.maxDepth = 16, .maxLeaves = 512});
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_EQ(leaves[0].depth, 16);

  std::string many = "Content-Type: multipart/mixed; boundary=b\r\n\r\n";
  for (int i = 0; i < 100; ++i) many += "--b\r\n\r\nx\r\n";
  EXPECT_EQ(WalkMimeParts(many, {.maxDepth = 16, .maxLeaves = 10}).size(), 10u);
}

// Every prefix of a message (as a cut-off transfer leaves it) walks within its own bytes.
TEST(MimeWalkLimitsTest, EveryPrefixWalksWithinItsBytes) {
  for (std::size_t n = 0; n <= kNested.size(); ++n) {
    const std::string_view prefix = std::string_view(kNested).substr(0, n);
    for (const MimeLeaf& leaf : WalkMimeParts(prefix)) {
      ASSERT_LE(leaf.offset + leaf.length, n) << n;
    }
  }
}

TEST(HeaderParameterTest, ReadsPlainQuotedAndContinuedValues) {
  EXPECT_EQ(HeaderParameter("text/plain; CHARSET=Shift_JIS", "charset"), "Shift_JIS");
  EXPECT_EQ(HeaderParameter("text/plain; a=\"x;y\"; charset = \"u\\\"8\" ", "charset"), "u\"8");
  EXPECT_EQ(HeaderParameter("attachment; filename*=iso-8859-1'en'%A3%20rates.txt", "filename"),
            "\xA3 rates.txt");
  EXPECT_EQ(HeaderParameter("x; name*0=a; name*2=c", "name"), "a");
  EXPECT_EQ(HeaderParameter("x; name", "name"), "");
  EXPECT_EQ(HeaderParameter("x; boundary=", "boundary"), "");
}

}  // namespace
}  // namespace qm
