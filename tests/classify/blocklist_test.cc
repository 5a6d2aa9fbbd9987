// Blocklist answers, cache and log lines against scripted answers (real DNS: end to end).
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

const BlocklistSettings kSettings = [] {
  BlocklistSettings s;
  s.zones = {".zone0.test", ".zone1.test", ".zone2.test", ".zone3.test"};
  s.refusals = {std::vector<std::string>{"127.0.0.1", "not an address"}, {}, {}, {}};
  s.ignored = {std::vector<std::string>{}, {"127.0.0.10", "127.0.0.11"}, {}, {}};
  s.dnsTimeout = std::chrono::milliseconds{1234};
  return s;
}();

class BlocklistTest : public ::testing::Test {
 protected:
  std::string Ask(std::string_view key, int zone) {
    std::string text = std::to_string(blocklists.Lookup(key, zone));
    for (const std::string& line : log.Take()) text += "|" + line.substr(6);
    return text;
  }
  FakeDnsResolver dns;
  LogRecorder log;
  std::int64_t now = 1'700'000'000;
  BlocklistResolver blocklists{kSettings, dns, [this] { return now; }};
};

// "+seconds" moves the clock, "=name" lists a name, "zone:key" asks. Ages are signed 32-bit
// differences, so a stored time that wraps past 2038 still ages right.
TEST_F(BlocklistTest, ListedKeysAreCachedEightHoursUnlistedOnesAMinute) {
  std::string transcript;
  for (const std::string& step : Words("=bad.example.zone0.test 0:bad.example 3:good.example +59 "
                                       "3:good.example +1 =good.example.zone3.test "
                                       "3:good.example +28739 0:bad.example +1 0:bad.example "
                                       "+28799 0:bad.example +447426001 =w.zone0.test "
                                       "0:w +100 0:w 1:w 1:w 0:ww 4:x -1:x 2: =zone2.test 2: 2:")) {
    if (step[0] == '+') now += std::stoll(step);
    if (step[0] == '=') dns.Listed(step.substr(1));
    if (step[0] != '+' && step[0] != '=')
      transcript += Ask(step.substr(step.find(':') + 1), std::stoi(step)) + "; ";
  }
  EXPECT_EQ(transcript + Ask("abc\0def"s, 0),
            "1|Found\t(server = 0)\t\"bad.example\"; 0|Not Found\t(server = 3)\t\"good.example\"; "
            "0|Not Found\t(server = 3)\t\"good.example\" cache; "
            "1|Not Found List Cache(server = 3)\t\"good.example\" id too old.|Found\t(server = "
            "3)\t\"good.example\"; "
            "1|Found\t(server = 0)\t\"bad.example\" cache; "
            "1|Found List Cache (server = 0)\t\"bad.example\" is too old.|Found\t(server = "
            "0)\t\"bad.example\"; "
            "1|Found\t(server = 0)\t\"bad.example\" cache; 1|Found\t(server = 0)\t\"w\"; "
            "1|Found\t(server = 0)\t\"w\" cache; 0|Not Found\t(server = 1)\t\"w\"; "
            "0|Not Found\t(server = 1)\t\"w\" cache; 0|Not Found\t(server = 0)\t\"ww\"; -2; -2; "
            "0|Not Found\t(server = 2)\t\"\"; 1|Found\t(server = 2)\t\"\"; "
            "1|Found\t(server = 2)\t\"\"; 0|Not Found\t(server = 0)\t\"abc\"");
  EXPECT_EQ(dns.lastTimeout, std::chrono::milliseconds{1234});
}

TEST_F(BlocklistTest, AnEmptyZoneIsSwitchedOffAndAFullCacheDropsExpiredEntriesElseAll) {
  BlocklistSettings settings = kSettings;
  settings.zones[1] = "";
  settings.zones[2] = ".";
  settings.cacheEntries = 3;
  BlocklistResolver small{settings, dns, [this] { return now; }};
  EXPECT_EQ(small.Lookup("2.0.0.127", 1) + small.Lookup("2.0.0.127", 2) + small.Lookup("", 1), 0);
  EXPECT_TRUE(dns.queries.empty() && log.Take().empty());
  for (const char* key : {"a", "b", "c", "d", "e"}) dns.Listed(key + ".zone0.test"s);
  std::string asked;  // the keys that went to the DNS
  for (const std::string& key : Words("a +28000 b c +800 d b c d e b e")) {
    if (key[0] == '+') now += std::stoi(key);  // at +800, "a" has expired and makes room for "d"
    const std::size_t before = dns.queries.size();
    if (key[0] != '+' && small.Lookup(key, UrlHostZone) == 1 && dns.queries.size() > before)
      asked += key;
  }
  EXPECT_EQ(asked, "abcdeb");  // full of fresh entries, it starts afresh
}

// Refusals and errors: ERROR line, -1, never cached. Only ignored answers: not listed.
TEST_F(BlocklistTest, AnswersRefusalsAndErrors) {
  const std::pair<int, std::vector<std::array<std::uint8_t, 4>>> cases[] = {
      // clang-format off
      // Quota exceeded, public resolver, the start of the refusal range, a configured refusal.
      {1, {{127, 255, 255, 254}}}, {3, {{127, 255, 255, 255}}}, {2, {{127, 255, 255, 0}}},
      {1, {{127, 0, 0, 2}, {127, 255, 255, 252}}}, {0, {{127, 0, 0, 1}}},
      {1, {{127, 0, 0, 1}}}, {2, {{10, 1, 2, 3}}}, {1, {{127, 255, 254, 255}}},
      // Ignored policy answers, only in their own zone.
      {1, {{127, 0, 0, 11}}}, {1, {{127, 0, 0, 10}, {127, 0, 0, 11}}},
      {1, {{127, 0, 0, 10}, {127, 0, 0, 4}}}, {2, {{127, 0, 0, 10}}},
      // clang-format on
  };
  std::string results;  // each answer, and whether the second came from the cache
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [zone, addresses] = cases[i];
    const std::string key = "k" + std::to_string(i);
    dns.answers[key + ".zone" + std::to_string(zone) + ".test"] = {
        DnsStatus::Found, addresses, 0, {}};
    const std::string first = Ask(key, zone), second = Ask(key, zone);
    results += first.substr(0, first.find('|')) + (second.ends_with(" cache") ? "c " : " ");
  }
  EXPECT_EQ(results, "-1 -1 -1 -1 -1 1c 1c 1c 0c 0c 1c 1c ");
  EXPECT_EQ(Ask("k0", 1), "-1|********  ERROR ( server = 1, code = 11003) ********");
  EXPECT_NE(blocklists.LastError(1).find("refused"), std::string::npos);
  dns.answers["slow.zone2.test"] = {DnsStatus::Error, {}, kDnsTryAgain, "scripted failure"};
  EXPECT_EQ(Ask("slow", RelayZoneB), "-1|********  ERROR ( server = 2, code = 11002) ********");
  EXPECT_EQ(blocklists.LastError(RelayZoneB), "scripted failure");
  EXPECT_EQ(SplitSettingsList(" 127.0.0.1:5353 ,, 10.0.0.1,\t"), Words("127.0.0.1:5353 10.0.0.1"));
}

}  // namespace
}  // namespace qm
