#include "classify/blocklist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classify/fake_dns.h"
#include "support/words.h"

namespace qm {
namespace {

using namespace std::string_literals;
using test::Words;

class BlocklistTest : public ::testing::Test {
 protected:
  BlocklistSettings Settings() {
    BlocklistSettings s;
    s.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
    s.refusals = {std::vector<std::string>{"127.0.0.1", "not an address"}, {}, {}, {}};
    s.ignored = {std::vector<std::string>{}, {"127.0.0.10", "127.0.0.11"}, {}, {}};
    s.dnsTimeout = std::chrono::milliseconds{1234};
    return s;
  }
  // The answer, then each log line of the look-up without its "RBL : ", joined by "|".
  std::string Ask(std::string_view key, int zone, BlocklistResolver* resolver = nullptr) {
    std::string text = std::to_string((resolver ? *resolver : blocklists).Lookup(key, zone));
    for (const std::string& line : log.Take()) text += "|" + line.substr(6);
    return text;
  }
  FakeDnsResolver dns;
  LogRecorder log;
  std::int64_t now = 1'700'000'000;
  BlocklistResolver blocklists{Settings(), dns, [this] { return now; }};
};

TEST_F(BlocklistTest, ListedKeysAreCachedEightHoursUnlistedOnesAMinute) {
  dns.Listed("bad.example.zone0.test");
  EXPECT_EQ(Ask("bad.example", UrlHostZone), "1|Found\t(server = 0)\t\"bad.example\"");
  EXPECT_EQ(dns.lastTimeout, std::chrono::milliseconds{1234});
  EXPECT_EQ(Ask("good.example", DomainZone), "0|Not Found\t(server = 3)\t\"good.example\"");
  now += 59;
  EXPECT_EQ(Ask("good.example", 3), "0|Not Found\t(server = 3)\t\"good.example\" cache");
  dns.Listed("good.example.zone3.test");  // listed meanwhile: the expired entry must not hide it
  now += 1;
  EXPECT_EQ(Ask("good.example", 3),
            "1|Not Found List Cache(server = 3)\t\"good.example\" id too "
            "old.|Found\t(server = 3)\t\"good.example\"");
  now += 28799 - 60;
  EXPECT_EQ(Ask("bad.example", 0), "1|Found\t(server = 0)\t\"bad.example\" cache");
  now += 1;
  EXPECT_EQ(Ask("bad.example", 0),
            "1|Found List Cache (server = 0)\t\"bad.example\" is too old."
            "|Found\t(server = 0)\t\"bad.example\"");
  now += 28799;  // refreshed with the new time
  EXPECT_EQ(Ask("bad.example", 0), "1|Found\t(server = 0)\t\"bad.example\" cache");
  // An expired listing falls through to a fresh negative answer, which is then cached.
  dns.Answer("bad.example.zone0.test", {DnsStatus::NotFound, {}, kDnsNoData, "no data"});
  now += 28800;
  Ask("bad.example", 0);
  EXPECT_EQ(Ask("bad.example", 0), "0|Not Found\t(server = 0)\t\"bad.example\" cache");
  // Ages are signed 32-bit differences: the stored time wraps past 2038, the age does not.
  now = 2147483600;
  dns.Listed("w.zone0.test");
  Ask("w", 0);
  now += 100;
  EXPECT_EQ(Ask("w", 0), "1|Found\t(server = 0)\t\"w\" cache");
  // Keys and zones have entries of their own; odd zones and keys; the empty key is never cached.
  dns.queries.clear();
  dns.Listed("1.2.0.19.zone1.test");
  dns.Listed("zone2.test");
  for (const char* key : {"1.2.0.19", "1.2.0.192", "1.2.0.19"}) Ask(key, RelayZoneA);
  EXPECT_EQ(Ask("1.2.0.192", 1), "0|Not Found\t(server = 1)\t\"1.2.0.192\" cache");
  EXPECT_EQ(Ask("1.2.0.19", RelayZoneB), "0|Not Found\t(server = 2)\t\"1.2.0.19\"");
  EXPECT_EQ(Ask("x", 4) + Ask("x", -1), "-2-2");
  EXPECT_EQ(Ask("abc\0def"s, 0), "0|Not Found\t(server = 0)\t\"abc\"");
  EXPECT_EQ(Ask("", RelayZoneB) + Ask("", RelayZoneB),
            "1|Found\t(server = 2)\t\"\"1|Found\t(server = 2)\t\"\"");
  EXPECT_EQ(dns.queries, Words("1.2.0.19.zone1.test 1.2.0.192.zone1.test 1.2.0.19.zone2.test "
                               "abc.zone0.test zone2.test zone2.test"));
}

TEST_F(BlocklistTest, AnEmptyZoneIsSwitchedOffAndAFullCacheDropsExpiredEntriesElseAll) {
  BlocklistSettings settings = Settings();
  settings.zones[1] = "";
  settings.zones[2] = ".";
  settings.cacheEntries = 3;
  BlocklistResolver small{settings, dns, [this] { return now; }};
  EXPECT_EQ(Ask("2.0.0.127", 1, &small) + Ask("2.0.0.127", 2, &small) + Ask("", 1, &small), "000");
  EXPECT_TRUE(dns.queries.empty());
  for (const char* key : {"a", "b", "c", "d", "e"}) dns.Listed(key + ".zone0.test"s);
  std::string asked;  // the keys that went to the DNS
  const auto ask = [&](const std::string& keys) {
    for (const std::string& key : Words(keys)) {
      const std::size_t before = dns.queries.size();
      EXPECT_EQ(small.Lookup(key, UrlHostZone), 1);
      if (dns.queries.size() > before) asked += key;
    }
  };
  ask("a");
  now += 28000;
  ask("b c");
  now +=
      800;  // "a" has expired and makes room for "d"; then, full of fresh entries, it starts afresh
  ask("d b c d e b e");
  EXPECT_EQ(asked, "abcdeb");
}

// Refusals and resolver errors: ERROR line, -1, never cached. Answers that are all ignored count
// as not listed; any other address as a listing.
TEST_F(BlocklistTest, AnswersRefusalsAndErrors) {
  const struct {
    int zone;
    std::vector<std::array<std::uint8_t, 4>> addresses;
    int expected;
  } cases[] = {
      // clang-format off
      // Quota exceeded, public resolver, the start of the refusal range, a configured refusal.
      {1, {{127, 255, 255, 254}}, -1}, {3, {{127, 255, 255, 255}}, -1},
      {2, {{127, 255, 255, 0}}, -1}, {1, {{127, 0, 0, 2}, {127, 255, 255, 252}}, -1},
      {0, {{127, 0, 0, 1}}, -1},
      {1, {{127, 0, 0, 1}}, 1}, {2, {{10, 1, 2, 3}}, 1}, {1, {{127, 255, 254, 255}}, 1},
      // Ignored policy answers, only in their own zone.
      {1, {{127, 0, 0, 11}}, 0}, {1, {{127, 0, 0, 10}, {127, 0, 0, 11}}, 0},
      {1, {{127, 0, 0, 10}, {127, 0, 0, 4}}, 1}, {2, {{127, 0, 0, 10}}, 1},
      // clang-format on
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    const std::string key = "k" + std::to_string(i), z = std::to_string(c.zone);
    dns.Answer(key + ".zone" + z + ".test", {DnsStatus::Found, c.addresses, 0, {}});
    const std::string first = Ask(key, c.zone), second = Ask(key, c.zone);
    if (c.expected < 0) {
      EXPECT_EQ(first, "-1|********  ERROR ( server = " + z + ", code = 11003) ********") << i;
      EXPECT_EQ(second, first) << i;
      EXPECT_NE(blocklists.LastError(c.zone).find("refused"), std::string::npos);
    } else {
      EXPECT_EQ(first, std::to_string(c.expected) + (c.expected ? "|Found" : "|Not Found") +
                           "\t(server = " + z + ")\t\"" + key + "\"")
          << i;
      EXPECT_EQ(second, first + " cache") << i;
    }
  }
  EXPECT_EQ(dns.queries.size(), 5 * 2 + 7u);
  dns.Answer("slow.zone2.test", {DnsStatus::Error, {}, kDnsTryAgain, "scripted failure"});
  EXPECT_EQ(Ask("slow", RelayZoneB), "-1|********  ERROR ( server = 2, code = 11002) ********");
  EXPECT_EQ(blocklists.LastError(RelayZoneB), "scripted failure");
  EXPECT_EQ(SplitSettingsList(" 127.0.0.1:5353 ,, 10.0.0.1,\t"), Words("127.0.0.1:5353 10.0.0.1"));
  EXPECT_TRUE(SplitSettingsList("").empty());
}

}  // namespace
}  // namespace qm
