#include "classify/blocklist.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classify/fake_dns.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::string_literals;

BlocklistSettings TestSettings() {
  BlocklistSettings settings;
  settings.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
  settings.refusals = {std::vector<std::string>{"127.0.0.1", "not an address"}, {}, {}, {}};
  settings.ignored = {std::vector<std::string>{}, {"127.0.0.10", "127.0.0.11"}, {}, {}};
  settings.dnsTimeout = std::chrono::milliseconds{1234};
  return settings;
}

class BlocklistTest : public ::testing::Test {
 protected:
  void SetUp() override { SetReporter(&log); }
  void TearDown() override { SetReporter(nullptr); }
  // The answer, then each log line of the look-up, joined by "|".
  std::string Ask(std::string_view key, int zone) {
    std::string text = std::to_string(blocklists.Lookup(key, zone));
    for (const std::string& line : log.Take()) text += "|" + line;
    return text;
  }

  FakeDnsResolver dns;
  LogRecorder log;
  std::int64_t now = 1'700'000'000;
  BlocklistSettings settings = TestSettings();
  BlocklistResolver blocklists{settings, dns, [this] { return now; }};
};

TEST_F(BlocklistTest, ListedKeysAreCachedEightHoursUnlistedOnesAMinute) {
  dns.Listed("bad.example.zone0.test");
  EXPECT_EQ(Ask("bad.example", UrlHostZone), "1|RBL : Found\t(server = 0)\t\"bad.example\"");
  EXPECT_EQ(dns.LastTimeout(), std::chrono::milliseconds{1234});
  EXPECT_EQ(Ask("good.example", DomainZone), "0|RBL : Not Found\t(server = 3)\t\"good.example\"");
  now += 59;
  EXPECT_EQ(Ask("good.example", 3), "0|RBL : Not Found\t(server = 3)\t\"good.example\" cache");
  dns.Listed("good.example.zone3.test");  // listed meanwhile: the expired entry must not hide it
  now += 1;
  EXPECT_EQ(Ask("good.example", 3),
            "1|RBL : Not Found List Cache(server = 3)\t\"good.example\" id too old."
            "|RBL : Found\t(server = 3)\t\"good.example\"");
  now += 28799 - 60;
  EXPECT_EQ(Ask("bad.example", 0), "1|RBL : Found\t(server = 0)\t\"bad.example\" cache");
  now += 1;
  EXPECT_EQ(Ask("bad.example", 0),
            "1|RBL : Found List Cache (server = 0)\t\"bad.example\" is too old."
            "|RBL : Found\t(server = 0)\t\"bad.example\"");
  now += 28799;  // refreshed with the new time
  EXPECT_EQ(Ask("bad.example", 0), "1|RBL : Found\t(server = 0)\t\"bad.example\" cache");
  EXPECT_EQ(dns.Queries().size(), 4u);
  // An expired listing falls through to a fresh negative answer, which is then cached.
  dns.Answer("bad.example.zone0.test", {DnsStatus::NotFound, {}, kDnsNoData, "no data"});
  now += 28800;
  EXPECT_EQ(blocklists.Lookup("bad.example", 0), 0);
  log.Take();
  EXPECT_EQ(Ask("bad.example", 0), "0|RBL : Not Found\t(server = 0)\t\"bad.example\" cache");
  // Ages are signed 32-bit differences: the stored time wraps past 2038, the age does not.
  now = 2147483600;
  dns.Listed("w.zone0.test");
  Ask("w", 0);
  now += 100;
  EXPECT_EQ(Ask("w", 0), "1|RBL : Found\t(server = 0)\t\"w\" cache");
}

TEST_F(BlocklistTest, KeysAndZonesEachHaveTheirOwnEntries) {
  dns.Listed("1.2.0.19.zone1.test");
  for (const char* key : {"1.2.0.19", "1.2.0.192", "spam.co", "spam.com"}) Ask(key, RelayZoneA);
  EXPECT_EQ(Ask("1.2.0.19", 1), "1|RBL : Found\t(server = 1)\t\"1.2.0.19\" cache");
  EXPECT_EQ(Ask("1.2.0.192", 1), "0|RBL : Not Found\t(server = 1)\t\"1.2.0.192\" cache");
  EXPECT_EQ(Ask("1.2.0.19", RelayZoneB), "0|RBL : Not Found\t(server = 2)\t\"1.2.0.19\"");
  EXPECT_THAT(dns.Queries(),
              ElementsAre("1.2.0.19.zone1.test", "1.2.0.192.zone1.test", "spam.co.zone1.test",
                          "spam.com.zone1.test", "1.2.0.19.zone2.test"));
}

TEST_F(BlocklistTest, OddKeysAndZones) {
  EXPECT_EQ(Ask("x", 4), "-2");
  EXPECT_EQ(Ask("x", -1), "-2");
  EXPECT_EQ(Ask("abc\0def"s, 0), "0|RBL : Not Found\t(server = 0)\t\"abc\"");  // ends at NUL
  dns.Listed("zone2.test");  // the empty key asks for the zone itself and is never cached
  EXPECT_EQ(Ask("", RelayZoneB), "1|RBL : Found\t(server = 2)\t\"\"");
  EXPECT_EQ(Ask("", RelayZoneB), "1|RBL : Found\t(server = 2)\t\"\"");
  EXPECT_THAT(dns.Queries(), ElementsAre("abc.zone0.test", "zone2.test", "zone2.test"));
}

TEST(BlocklistOffTest, AnEmptyZoneIsSwitchedOffAndAsksNothing) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings = TestSettings();
  settings.zones[1] = "";
  settings.zones[2] = ".";
  BlocklistResolver blocklists{settings, dns, [] { return std::int64_t{1'700'000'000}; }};
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", 1) + blocklists.Lookup("2.0.0.127", 2), 0);
  EXPECT_EQ(blocklists.Lookup("", 1), 0);
  SetReporter(nullptr);
  EXPECT_THAT(dns.Queries(), IsEmpty());
  EXPECT_THAT(log.Take(), IsEmpty());
}

TEST_F(BlocklistTest, AFullCacheDropsItsExpiredEntriesElseEverything) {
  settings.cacheEntries = 3;
  BlocklistResolver small{settings, dns, [this] { return now; }};
  for (const char* key : {"a", "b", "c", "d", "e"}) dns.Listed(key + ".zone0.test"s);
  const auto asksDns = [&](std::string_view key) {
    const std::size_t before = dns.Queries().size();
    EXPECT_EQ(small.Lookup(key, UrlHostZone), 1);
    return dns.Queries().size() > before;
  };
  asksDns("a");
  now += 28000;
  asksDns("b");
  asksDns("c");
  now += 800;  // "a" has expired and makes room for "d"
  EXPECT_TRUE(asksDns("d"));
  EXPECT_FALSE(asksDns("b") || asksDns("c") || asksDns("d"));
  // Full of fresh entries: it starts afresh.
  EXPECT_TRUE(asksDns("e"));
  EXPECT_TRUE(asksDns("b"));
  EXPECT_FALSE(asksDns("e"));
}

// Refusals and resolver errors: ERROR line, -1, never cached. Answers that are all ignored count
// as not listed; any other address as a listing.
TEST_F(BlocklistTest, AnswersRefusalsAndErrors) {
  struct Case {
    int zone;
    std::vector<std::array<std::uint8_t, 4>> addresses;
    int expected;
  };
  const Case cases[] = {
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
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    const std::string key = "k" + std::to_string(i), z = std::to_string(c.zone);
    dns.Answer(key + ".zone" + z + ".test", {DnsStatus::Found, c.addresses, 0, {}});
    const std::size_t before = dns.Queries().size();
    const std::string first = Ask(key, c.zone), second = Ask(key, c.zone);
    if (c.expected < 0) {
      const std::string error =
          "-1|RBL : ********  ERROR ( server = " + z + ", code = 11003) ********";
      EXPECT_EQ(first, error);
      EXPECT_EQ(second, error);
      EXPECT_EQ(dns.Queries().size(), before + 2);
      EXPECT_THAT(blocklists.LastError(c.zone), ::testing::HasSubstr("refused"));
    } else {
      const std::string found = c.expected ? "|RBL : Found" : "|RBL : Not Found";
      EXPECT_EQ(first,
                std::to_string(c.expected) + found + "\t(server = " + z + ")\t\"" + key + "\"");
      EXPECT_EQ(second, first + " cache");
    }
  }
  dns.Failing("slow.zone2.test", kDnsTryAgain);
  EXPECT_EQ(Ask("slow", RelayZoneB),
            "-1|RBL : ********  ERROR ( server = 2, code = 11002) ********");
  EXPECT_EQ(blocklists.LastError(RelayZoneB), "scripted failure");
}

TEST(BlocklistSettingsTest, ListsAndServersThatAreNoAddresses) {
  EXPECT_THAT(SplitSettingsList(" 127.0.0.1:5353 ,, 10.0.0.1,\t"),
              ElementsAre("127.0.0.1:5353", "10.0.0.1"));
  EXPECT_THAT(SplitSettingsList(""), IsEmpty());
  CAresResolver resolver({"dns.example.invalid"});
  EXPECT_FALSE(resolver.SetupError().empty());
  const DnsAnswer answer = resolver.LookupA("x.test", std::chrono::milliseconds{100});
  EXPECT_EQ(answer.status, DnsStatus::Error);
  EXPECT_EQ(answer.code, kDnsNoRecovery);
}

}  // namespace
}  // namespace qm
