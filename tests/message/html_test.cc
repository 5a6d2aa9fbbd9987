#include "message/html.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/mail_message.h"
#include "stored_text.h"
#include "support/words.h"

namespace qm {
namespace {

// The hosts of the links of HTML text: those of its attributes, and those that the link walk of
// a text/html message with this body finds.
TEST(HtmlTest, LinkHostsInOrder) {
  const struct {
    std::string html;
    const char *attributeHosts, *walkHosts;
  } cases[] = {
      // clang-format off
      // Found by the bare pattern at the same place: given once.
      {"<a HREF='https://Bank.example/x'>go</a>", "Bank.example", "Bank.example"},
      {"<img alt=x src=\"//cdn.evil.test/p.gif\">", "cdn.evil.test", "cdn.evil.test"},
      {"<a href=\"http&#58;//x.test/\">a</a><a href=h&#x74;tp://y&#46;test>b</a>"
       "<a href='https://a.test/?q=1&amp;r=http://z.test'>", "x.test y.test a.test",
       "x.test y.test a.test z.test"},
      // Text before, between and after the tags keeps its place in the order.
      {"http://first.test <a title=\"http://title.test\" href=\" \r\n HTTP://Second.test:8080/\">"
       "http://third.test</a>", "Second.test", "first.test title.test Second.test third.test"},
      // The host a browser goes to, not the user part; a different host at the same place as a
      // bare link is a link of its own.
      {"<a href=\"https://bank.example@evil.test/\">x</a><a href=//ev%69l.test>",
       "evil.test evil.test", "bank.example evil.test evil.test"},
      {"<a href=\"ht\ttp:\\\\back.test\">x</a><a\nhref\n=\nhttps:/one.test>", "back.test one.test",
       "back.test one.test"},
      {"<a href=\"mailto:a@b.test\"><a href=\"/path\"><img src=\"cid:x@y\">"
       "<a href=\"javascript:go('http://js.test')\"><a href=\"https://[::1]/\">", "", "js.test"},
      // Comments, end tags and script text hold no attributes; the script tag itself does.
      {"<!-- <a href=//c.test> --></a href=//e.test><script src=//s.test>"
       "var a = '<a href=//i.test>';</SCRIPT ><style>a{}</style><p src=//p.test>", "s.test p.test",
       "s.test p.test"},
      {"<a href=\"http://open.test/ <b>http://next.test", "open.test", "open.test next.test"},
      {"<a download href=//x.test>", "x.test", "x.test"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.html);
    std::vector<std::string> hosts;
    for (const HtmlLink& link : HtmlLinks(c.html)) {
      EXPECT_LT(link.position, c.html.size());
      hosts.push_back(link.host);
    }
    EXPECT_EQ(hosts, test::Words(c.attributeHosts));
    CMailMessage message;
    message.Parse(test::Stored({"Content-Type: text/html", "", c.html}));
    message.DecodeBody();
    hosts.clear();
    for (std::string host; message.NextUrlHost(host);) hosts.push_back(host);
    EXPECT_EQ(hosts, test::Words(c.walkHosts));
  }
  EXPECT_EQ(DecodeCharacterReferences("&#65;&#x42;&#X43&lt;&gt;&amp;&quot;&nbsp;&hellip;"),
            "ABC<>&\"\xC2\xA0\xE2\x80\xA6");
  EXPECT_EQ(DecodeCharacterReferences("&#0; &#xD800; &#99999999999; &#x1F600;"),
            "\xEF\xBF\xBD \xEF\xBF\xBD \xEF\xBF\xBD \xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeCharacterReferences("& &# &#x; &unknown; &amp AT&T"),
            "& &# &#x; &unknown; &amp AT&T");
}

}  // namespace
}  // namespace qm
