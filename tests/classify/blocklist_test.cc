#include "classify/blocklist.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "classify/fake_dns.h"

namespace qm {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

  FakeDnsResolver dns;
  LogRecorder log;
  std::int64_t now = 1'700'000'000;
  BlocklistResolver blocklists{TestSettings(), dns, [this] { return now; }};
};

TEST_F(BlocklistTest, ListedKeyIsServedFromTheCacheForEightHoursThenAskedAgain) {
  dns.Listed("bad.example.zone0.test");
  EXPECT_EQ(blocklists.Lookup("bad.example", UrlHostZone), 1);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = 0)\t\"bad.example\""));
  EXPECT_EQ(dns.LastTimeout(), std::chrono::milliseconds{1234});

  now += 28799;
  EXPECT_EQ(blocklists.Lookup("bad.example", UrlHostZone), 1);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = 0)\t\"bad.example\" cache"));
  EXPECT_EQ(dns.Queries().size(), 1u);

  now += 1;
  EXPECT_EQ(blocklists.Lookup("bad.example", UrlHostZone), 1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Found List Cache (server = 0)\t\"bad.example\" is too old.",
                          "RBL : Found\t(server = 0)\t\"bad.example\""));
  EXPECT_EQ(dns.Queries().size(), 2u);

  // The entry was refreshed with the new time.
  now += 28799;
  EXPECT_EQ(blocklists.Lookup("bad.example", UrlHostZone), 1);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = 0)\t\"bad.example\" cache"));
  EXPECT_EQ(dns.Queries().size(), 2u);
}

TEST_F(BlocklistTest, UnlistedKeyIsServedFromTheCacheForOneMinuteThenAskedAgain) {
  EXPECT_EQ(blocklists.Lookup("good.example", DomainZone), 0);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Not Found\t(server = 3)\t\"good.example\""));
  now += 59;
  EXPECT_EQ(blocklists.Lookup("good.example", DomainZone), 0);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Not Found\t(server = 3)\t\"good.example\" cache"));
  EXPECT_THAT(dns.Queries(), ElementsAre("good.example.zone3.test"));

  // Listed in the meantime: the expired negative entry must not hide it.
  dns.Listed("good.example.zone3.test");
  now += 1;
  EXPECT_EQ(blocklists.Lookup("good.example", DomainZone), 1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Not Found List Cache(server = 3)\t\"good.example\" id too old.",
                          "RBL : Found\t(server = 3)\t\"good.example\""));
  EXPECT_EQ(blocklists.Lookup("good.example", DomainZone), 1);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = 3)\t\"good.example\" cache"));
}

TEST_F(BlocklistTest, ExpiredPositiveEntryFallsThroughToTheNegativeCache) {
  dns.Listed("k.zone0.test");
  EXPECT_EQ(blocklists.Lookup("k", 0), 1);
  now += 28800;
  dns.Answer("k.zone0.test", DnsAnswer{DnsStatus::NotFound, {}, kDnsNoData, "no data"});
  EXPECT_EQ(blocklists.Lookup("k", 0), 0);
  now += 10;
  log.Take();
  EXPECT_EQ(blocklists.Lookup("k", 0), 0);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Not Found\t(server = 0)\t\"k\" cache"));
}

TEST_F(BlocklistTest, CachedKeyDoesNotAnswerForLongerKeysItIsAPrefixOf) {
  dns.Listed("1.2.0.19.zone1.test");
  EXPECT_EQ(blocklists.Lookup("1.2.0.19", RelayZoneA), 1);
  EXPECT_EQ(blocklists.Lookup("1.2.0.192", RelayZoneA), 0);
  EXPECT_EQ(blocklists.Lookup("spam.co", RelayZoneA), 0);
  EXPECT_EQ(blocklists.Lookup("spam.com", RelayZoneA), 0);
  EXPECT_THAT(dns.Queries(), ElementsAre("1.2.0.19.zone1.test", "1.2.0.192.zone1.test",
                                         "spam.co.zone1.test", "spam.com.zone1.test"));
  // Nor does a longer cached key answer for, or get replaced by, a shorter one.
  log.Take();
  EXPECT_EQ(blocklists.Lookup("1.2.0.19", RelayZoneA), 1);
  EXPECT_EQ(blocklists.Lookup("1.2.0.192", RelayZoneA), 0);
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = 1)\t\"1.2.0.19\" cache",
                                      "RBL : Not Found\t(server = 1)\t\"1.2.0.192\" cache"));
}

TEST_F(BlocklistTest, EachZoneHasItsOwnCaches) {
  dns.Listed("2.0.0.127.zone1.test");
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneA), 1);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneB), 0);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", RelayZoneB), 0);
  EXPECT_THAT(dns.Queries(), ElementsAre("2.0.0.127.zone1.test", "2.0.0.127.zone2.test"));
}

TEST_F(BlocklistTest, ZoneOutsideZeroToThreeDoesNothing) {
  EXPECT_EQ(blocklists.Lookup("x", 4), -2);
  EXPECT_EQ(blocklists.Lookup("x", -1), -2);
  EXPECT_THAT(log.Take(), IsEmpty());
  EXPECT_THAT(dns.Queries(), IsEmpty());
}

TEST(BlocklistOffTest, AnEmptyZoneIsSwitchedOffAndAsksNothing) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings = TestSettings();
  settings.zones[1] = "";
  settings.zones[2] = ".";
  BlocklistResolver blocklists{settings, dns, [] { return std::int64_t{1'700'000'000}; }};
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", 1), 0);
  EXPECT_EQ(blocklists.Lookup("2.0.0.127", 2), 0);
  EXPECT_EQ(blocklists.Lookup("", 1), 0);
  EXPECT_THAT(dns.Queries(), IsEmpty());
  EXPECT_THAT(log.Take(), IsEmpty());
  SetReporter(nullptr);
}

TEST(BlocklistCacheBoundTest, AFullCacheDropsItsExpiredEntriesElseEverything) {
  LogRecorder log;
  SetReporter(&log);
  FakeDnsResolver dns;
  BlocklistSettings settings = TestSettings();
  settings.cacheEntries = 3;
  std::int64_t now = 1'700'000'000;
  BlocklistResolver blocklists{settings, dns, [&now] { return now; }};
  for (const char* key : {"a", "b", "c", "d", "e"}) dns.Listed(std::string(key) + ".zone0.test");
  const auto asksDns = [&](std::string_view key) {
    const std::size_t before = dns.Queries().size();
    EXPECT_EQ(blocklists.Lookup(key, UrlHostZone), 1);
    return dns.Queries().size() > before;
  };
  asksDns("a");
  now += 28000;
  asksDns("b");
  asksDns("c");
  now += 800;  // "a" has expired and makes room for "d"
  EXPECT_TRUE(asksDns("d"));
  EXPECT_FALSE(asksDns("b"));
  EXPECT_FALSE(asksDns("c"));
  EXPECT_FALSE(asksDns("d"));
  // Full of fresh entries: it starts afresh.
  EXPECT_TRUE(asksDns("e"));
  EXPECT_TRUE(asksDns("b"));
  EXPECT_FALSE(asksDns("e"));
  SetReporter(nullptr);
}

TEST_F(BlocklistTest, EmptyKeyAsksForTheZoneItselfAndIsNeverCached) {
  dns.Listed("zone2.test");
  EXPECT_EQ(blocklists.Lookup("", RelayZoneB), 1);
  EXPECT_EQ(blocklists.Lookup("", RelayZoneB), 1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : Found\t(server = 2)\t\"\"", "RBL : Found\t(server = 2)\t\"\""));
  EXPECT_THAT(dns.Queries(), ElementsAre("zone2.test", "zone2.test"));
}

TEST_F(BlocklistTest, KeyEndsAtItsFirstNul) {
  using namespace std::string_view_literals;
  EXPECT_EQ(blocklists.Lookup("abc\0def"sv, 0), 0);
  EXPECT_THAT(dns.Queries(), ElementsAre("abc.zone0.test"));
  EXPECT_THAT(log.Take(), ElementsAre("RBL : Not Found\t(server = 0)\t\"abc\""));
}

TEST_F(BlocklistTest, CacheAgesAreSigned32BitDifferences) {
  now = 2147483600;
  dns.Listed("w.zone0.test");
  EXPECT_EQ(blocklists.Lookup("w", 0), 1);
  now += 100;  // past the largest 32-bit time: the stored time wraps, the age does not
  EXPECT_EQ(blocklists.Lookup("w", 0), 1);
  EXPECT_EQ(dns.Queries().size(), 1u);
}

TEST_F(BlocklistTest, ResolverErrorsAreLoggedWithTheirCodeAndNeverCached) {
  dns.Failing("slow.example.zone2.test", kDnsTryAgain);
  EXPECT_EQ(blocklists.Lookup("slow.example", RelayZoneB), -1);
  EXPECT_EQ(blocklists.Lookup("slow.example", RelayZoneB), -1);
  EXPECT_THAT(log.Take(),
              ElementsAre("RBL : ********  ERROR ( server = 2, code = 11002) ********",
                          "RBL : ********  ERROR ( server = 2, code = 11002) ********"));
  EXPECT_EQ(dns.Queries().size(), 2u);
  EXPECT_EQ(blocklists.LastError(RelayZoneB), "scripted failure");
  EXPECT_EQ(blocklists.LastError(RelayZoneA), "");
}

struct AnswerCase {
  const char* name;
  int zone;
  std::vector<std::array<std::uint8_t, 4>> addresses;
  int expected;
};

class BlocklistAnswerTest : public BlocklistTest,
                            public ::testing::WithParamInterface<AnswerCase> {};

// A refusal counts like a resolver error: ERROR line, -1, nothing cached. Answers that are all
// ignored count as not listed. Any other address counts as a listing.
TEST_P(BlocklistAnswerTest, RefusalsAreErrorsIgnoredAnswersNoListingsAndOthersListings) {
  const AnswerCase& c = GetParam();
  const std::string name = "key.zone" + std::to_string(c.zone) + ".test";
  dns.Answer(name, DnsAnswer{DnsStatus::Found, c.addresses, 0, {}});
  EXPECT_EQ(blocklists.Lookup("key", c.zone), c.expected);
  EXPECT_EQ(blocklists.Lookup("key", c.zone), c.expected);
  const std::string z = std::to_string(c.zone);
  if (c.expected < 0) {
    const std::string error = "RBL : ********  ERROR ( server = " + z + ", code = 11003) ********";
    EXPECT_THAT(log.Take(), ElementsAre(error, error));
    EXPECT_EQ(dns.Queries().size(), 2u);
    EXPECT_THAT(blocklists.LastError(c.zone), ::testing::HasSubstr("refused"));
  } else if (c.expected == 0) {
    EXPECT_THAT(log.Take(), ElementsAre("RBL : Not Found\t(server = " + z + ")\t\"key\"",
                                        "RBL : Not Found\t(server = " + z + ")\t\"key\" cache"));
    EXPECT_EQ(dns.Queries().size(), 1u);
  } else {
    EXPECT_THAT(log.Take(), ElementsAre("RBL : Found\t(server = " + z + ")\t\"key\"",
                                        "RBL : Found\t(server = " + z + ")\t\"key\" cache"));
    EXPECT_EQ(dns.Queries().size(), 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, BlocklistAnswerTest,
    ::testing::Values(AnswerCase{"QuotaExceeded", 1, {{127, 255, 255, 254}}, -1},
                      AnswerCase{"PublicResolver", 3, {{127, 255, 255, 255}}, -1},
                      AnswerCase{"RangeStart", 2, {{127, 255, 255, 0}}, -1},
                      AnswerCase{"AmongListings", 1, {{127, 0, 0, 2}, {127, 255, 255, 252}}, -1},
                      AnswerCase{"ConfiguredRefusal", 0, {{127, 0, 0, 1}}, -1},
                      AnswerCase{"RefusalOfOtherZone", 1, {{127, 0, 0, 1}}, 1},
                      AnswerCase{"Listed", 0, {{127, 0, 0, 2}}, 1},
                      AnswerCase{"OutsideLoopback", 2, {{10, 1, 2, 3}}, 1},
                      AnswerCase{"NextToRefusalRange", 1, {{127, 255, 254, 255}}, 1},
                      AnswerCase{"PolicyAnswer", 1, {{127, 0, 0, 11}}, 0},
                      AnswerCase{"PolicyAnswers", 1, {{127, 0, 0, 10}, {127, 0, 0, 11}}, 0},
                      AnswerCase{"PolicyBesideListing", 1, {{127, 0, 0, 10}, {127, 0, 0, 4}}, 1},
                      AnswerCase{"IgnoredOnlyInItsZone", 2, {{127, 0, 0, 10}}, 1}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(BlocklistSettingsTest, DefaultsNameOneZonePerRoleWithLeadingDots) {
  const BlocklistSettings settings;
  for (const std::string& zone : settings.zones) {
    ASSERT_GT(zone.size(), 1u);
    EXPECT_EQ(zone.front(), '.');
  }
  EXPECT_TRUE(settings.dnsServers.empty());
  EXPECT_EQ(settings.dnsTimeout, std::chrono::seconds{5});
  EXPECT_THAT(settings.ignored[RelayZoneA], ElementsAre("127.0.0.10", "127.0.0.11"));
}

TEST(BlocklistSettingsTest, SplitsCommaSeparatedValues) {
  EXPECT_THAT(SplitSettingsList(" 127.0.0.1:5353 ,, 10.0.0.1,\t"),
              ElementsAre("127.0.0.1:5353", "10.0.0.1"));
  EXPECT_THAT(SplitSettingsList(""), IsEmpty());
}

TEST(CAresResolverTest, ServerListThatIsNotAnAddressMakesEveryLookupAnError) {
  CAresResolver resolver({"dns.example.invalid"});
  EXPECT_FALSE(resolver.SetupError().empty());
  const DnsAnswer answer = resolver.LookupA("x.test", std::chrono::milliseconds{100});
  EXPECT_EQ(answer.status, DnsStatus::Error);
  EXPECT_EQ(answer.code, kDnsNoRecovery);
}

}  // namespace
}  // namespace qm
