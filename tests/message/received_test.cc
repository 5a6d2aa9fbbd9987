#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "message/mail_message.h"
#include "message/stored_form.h"
#include "stored_text.h"
#include "support/scoped_time_zone.h"

namespace qm {
namespace {

using test::Stored;

using test::ScopedTimeZone;

struct DateCase {
  const char* name;
  const char* zone;
  std::string text;
  int found;
  std::int64_t seconds;
};

class ReceivedDateTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(ReceivedDateTest, ReadsFirstReceivedField) {
  const DateCase& c = GetParam();
  ScopedTimeZone zone(c.zone);
  CMailMessage message;
  message.Parse(c.text);
  std::int64_t seconds = -7;
  ASSERT_EQ(message.ReceivedDate(seconds), c.found);
  EXPECT_EQ(seconds, c.found ? c.seconds : -7);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ReceivedDateTest,
    ::testing::Values(
        // Read in Japan time, the instant is exact: 15:00 UTC is 00:00 of the next day in Tokyo.
        DateCase{"TokyoIsExact", "Asia/Tokyo",
                 Stored({"Received: by x; Mon, 3 Jun 2024 15:00:00 +0000", ""}), 1, 1717426800},
        // Elsewhere the Japan wall-clock time is read as local: 2024-06-04 00:00 UTC.
        DateCase{"UtcReadsJapanWallClock", "UTC",
                 Stored({"Received: by x; Mon, 3 Jun 2024 15:00:00 +0000", ""}), 1, 1717459200},
        DateCase{"NegativeOffset", "UTC",
                 Stored({"Received: by x;", "\t3 Jun 2024 10:30:15 -0500 (EST)", ""}), 1,
                 1717459200 + 15 + 30 * 60},
        DateCase{"NewYorkSummerTime", "America/New_York",
                 Stored({"Received: by x; 1 Jul 2024 00:00:00 +0900", ""}), 1, 1719806400},
        DateCase{
            "OnlyTheFirstFieldCounts", "UTC",
            Stored({"Received: from nowhere", "Received: by x; 1 Jan 2024 00:00:00 +0900", ""}), 0,
            0},
        DateCase{"NoReceivedField", "UTC", Stored({"Date: 1 Jan 2024 00:00:00 +0900", ""}), 0, 0},
        // The day is one or two digits anywhere: "100 Jan" reads as day 00, the last of December.
        DateCase{"ThreeDigitDayReadsLastTwo", "UTC",
                 Stored({"received: x; 100 Jan 2024 00:00:00 +0900", ""}), 1, 1703980800}),
    [](const auto& param) { return std::string(param.param.name); });

std::vector<std::string> Relays(const std::string& text) {
  CMailMessage message;
  message.Parse(text);
  message.ResetReceivedWalk();
  std::vector<std::string> relays;
  for (std::string address; message.NextReceivedAddress(address);) relays.push_back(address);
  std::string address;
  EXPECT_EQ(message.NextReceivedAddress(address), 0) << "a finished walk stays finished";
  return relays;
}

using Strings = std::vector<std::string>;

TEST(ReceivedWalkTest, AddressesComeReversedFieldByField) {
  EXPECT_EQ(Relays(Stored({"Received: from a ([10.1.2.3]) by b", "X: 9.9.9.9",
                           "RECEIVED: from c (192.0.2.1) (198.51.100.7~)", ""})),
            (Strings{"3.2.1.10", "1.2.0.192", "7.100.51.198"}));
}

TEST(ReceivedWalkTest, NoRangeCheck) {
  EXPECT_EQ(Relays(Stored({"Received: from x [999.1.1.1] [127.0.0.1]", ""})),
            (Strings{"1.1.1.999", "1.0.0.127"}));
}

TEST(ReceivedWalkTest, AFourDigitPartEndsTheField) {
  EXPECT_EQ(
      Relays(Stored({"Received: from [1.2.3.4444] [5.6.7.8]", "Received: from [4.3.2.1]", ""})),
      (Strings{"1.2.3.4"}));
  EXPECT_EQ(Relays(Stored({"Received: from [12345.1.1.1] [5.6.7.8]", ""})), Strings{});
}

TEST(ReceivedWalkTest, NoReceivedFieldsEndAtOnce) {
  EXPECT_EQ(Relays(Stored({"From: a@b 1.2.3.4", ""})), Strings{});
  EXPECT_EQ(Relays(""), Strings{});
}

TEST(ReceivedWalkTest, ResetStartsAgain) {
  CMailMessage message;
  message.Parse(Stored({"Received: [1.2.3.4]", ""}));
  std::string address;
  message.ResetReceivedWalk();
  ASSERT_EQ(message.NextReceivedAddress(address), 1);
  ASSERT_EQ(message.NextReceivedAddress(address), 0);
  message.ResetReceivedWalk();
  ASSERT_EQ(message.NextReceivedAddress(address), 1);
  EXPECT_EQ(address, "4.3.2.1");
}

std::vector<std::string> UrlHosts(const std::string& body) {
  CMailMessage message;
  message.Parse(Stored({"Subject: x", "", body}));
  message.DecodeBody();
  std::vector<std::string> hosts;
  for (std::string host; message.NextUrlHost(host);) hosts.push_back(host);
  return hosts;
}

TEST(UrlWalkTest, HostsOfLinksInOrderWithRepeats) {
  EXPECT_EQ(UrlHosts("see http://a.example/x and https://b-c.example:8080/?q, "
                     "HTTP://upper.example http://a.example"),
            (Strings{"a.example", "b-c.example", "a.example"}));
  EXPECT_EQ(UrlHosts("http://user@host.example/ https://[::1]/ http://x_y.example"),
            (Strings{"user", "x_y.example"}));
}

TEST(UrlWalkTest, LongHostsComeWhole) {
  const std::string host(2000, 'h');
  EXPECT_EQ(UrlHosts("http://" + host + "/"), Strings{host});
}

// Mail whose HTML alternative is base64, as most newsletters and spam are sent: the hosts of
// its links are read from the decoded parts, plain text first, then the HTML with its
// attributes; a link found both ways at one place counts once.
TEST(UrlWalkTest, Base64HtmlAlternativeLinks) {
  std::ifstream file(QM_TEST_DATA "/base64_html_alternative_links.eml", std::ios::binary);
  ASSERT_TRUE(file);
  const std::string plain{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  CMailMessage message;
  message.Parse(ToStoredForm(plain));
  ASSERT_EQ(message.DecodeBody(), 1);
  Strings hosts;
  for (std::string host; message.NextUrlHost(host);) hosts.push_back(host);
  EXPECT_EQ(hosts, (Strings{"plain.example", "title.example", "Bank.example", "Bank.example",
                            "cdn.evil.test", "hidden.evil.test"}));
}

TEST(UrlWalkTest, NeedsTheDecodedBody) {
  CMailMessage message;
  message.Parse(Stored({"Subject: x", "", "http://a.example/"}));
  std::string host;
  EXPECT_EQ(message.NextUrlHost(host), 0);
  message.DecodeBody();
  EXPECT_EQ(message.NextUrlHost(host), 1);
  EXPECT_EQ(message.NextUrlHost(host), 0);
  // Decoding again restarts the walk.
  message.DecodeBody();
  EXPECT_EQ(message.NextUrlHost(host), 1);
}

}  // namespace
}  // namespace qm
