#include "classify/spam_classifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "message/mail_message.h"
#include "support/words.h"

namespace qm {
namespace {

using Result = std::pair<Verdict, Reason>;
using test::Words;

// Answers from a table and records every question in the order asked. Each question takes
// `delay` on the clock that the classifier reads. Set the table before classifying.
class FakeZones : public IZoneLookup {
 public:
  int Lookup(std::string_view key, int zone) override {
    std::lock_guard lock(mutex);
    asked.push_back(std::to_string(zone) + ":" + std::string(key));
    now += delay;
    const auto it = answers.find({std::string(key), zone});
    return it == answers.end() ? defaultAnswer : it->second;
  }
  std::chrono::milliseconds LookupTimeout() const override { return std::chrono::seconds(5); }
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard lock(mutex);
    return now;
  }
  std::map<std::pair<std::string, int>, int> answers;
  std::vector<std::string> asked;
  int defaultAnswer = 0;
  std::chrono::steady_clock::time_point now;
  std::chrono::milliseconds delay{0};
  std::mutex mutex;
};

std::string Message(const std::string& header, const std::string& body = "") {
  return header + "\r\n" + body + "\r\n.\r\n";
}

class SpamClassifierTest : public ::testing::Test {
 protected:
  Result Judge(const std::string& text) {
    CMailMessage message;
    message.Parse(text);
    message.mark.SetHidden(true);
    classifier.Classify(message);
    EXPECT_TRUE(message.mark.Hidden()) << "other bits of the mark must stay";
    return {static_cast<Verdict>(message.mark.GetVerdict()),
            static_cast<Reason>(message.mark.GetReason())};
  }

  CSenderLists lists;
  FakeZones zones;
  // One question after another, so that `zones.asked` is in the order of the rules.
  SpamClassifier classifier{lists, zones, [this] { return zones.Now(); }, 1};
};

TEST_F(SpamClassifierTest, ListsComeFirstAndMatchByPrefix) {
  lists.AddFriend("taro@");
  lists.AddBad("spam@example.jp");
  lists.AddBad("hanako@");  // in both lists (a prefix in the other): friend wins
  lists.AddFriend("hanako@example.jp");
  EXPECT_EQ(Judge(Message("From: <taro@example.jp>\r\n")), Result(VerdictFriend, ReasonFriendList));
  EXPECT_EQ(Judge(Message("From: spam@example.jp\r\n")), Result(VerdictBad, ReasonBadList));
  EXPECT_EQ(Judge(Message("From: spam@example.j\r\n")), Result(VerdictOther, ReasonNone));
  EXPECT_EQ(Judge(Message("From: hanako@example.jp\r\n")), Result(VerdictFriend, ReasonFriendList));
  EXPECT_EQ(Judge(Message("Subject: no sender\r\n")), Result(VerdictOther, ReasonNone));
  lists.SetAddEmptyAddrToBadlist(true);
  EXPECT_EQ(Judge(Message("Subject: no sender\r\n")), Result(VerdictBad, ReasonBadList));
}

// What the blocklists are asked, in the order of the rules, and what decides.
TEST_F(SpamClassifierTest, QuestionsInTheOrderOfTheRules) {
  // Relays: private, loopback, link-local, shared, "this network" and reserved ranges at their
  // edges, then the public addresses just outside them.
  std::string relays;
  for (const std::string& address :
       Words("127.0.0.1 10.255.0.1 172.16.0.1 172.31.255.255 192.168.3.4 169.254.9.9 100.64.0.1 "
             "100.127.255.255 0.1.2.3 240.0.0.1 255.255.255.255 172.32.0.1 100.128.0.1 "
             "169.255.0.1 192.0.2.7")) {
    relays += "Received: from x ([" + address + "]) by y\r\n";
  }
  const std::string three =
      "From: T <t@from.example>\r\nReturn-Path: <>\r\nReturn-To: x@to.example";
  // At most ten label starts are collected, the last one never asked.
  const std::string tenLabels = "1a.2a.3a.4a.5a.6a.7a.8a.9a.10a.11a.12a";
  std::string tenStarts;
  for (std::string_view name = tenLabels; !name.starts_with("10a"); name.remove_prefix(3)) {
    tenStarts += " 0:" + std::string(name) + " 3:" + std::string(name);
  }
  tenStarts.erase(0, 1);
  SpamClassifier atOnce{lists, zones, [this] { return zones.Now(); }};
  const struct {
    std::string header, body;
    const char* listed;  // "zone:key" words answered as listed
    Result result;
    std::string asked;
  } cases[] = {
      // clang-format off
      // Link hosts label by label, zone 0 then 3.
      {"From: a@b", "http://a.b.c.d/ http://x.y/", "3:c.d 0:x.y", {VerdictSpam, ReasonDomainZone},
       "0:a.b.c.d 3:a.b.c.d 0:b.c.d 3:b.c.d 0:c.d 3:c.d"},
      // Repeated hosts and single labels are not asked; a host that starts with one seen is new.
      {"Subject: x", "http://localhost/ http://a.jp/ https://a.jp/x http://a.jp.ev.test/", "",
       {VerdictOther, ReasonNone},
       "0:a.jp 3:a.jp 0:a.jp.ev.test 3:a.jp.ev.test 0:jp.ev.test 3:jp.ev.test 0:ev.test 3:ev.test"},
      // An address as host is asked only reversed, in zone 0.
      {"Subject: x", "http://192.0.2.1:8080/ http://10.0.0.1.example/", "0:1.0.0.10",
       {VerdictSpam, ReasonUrlHostZone}, "0:1.2.0.192 0:1.0.0.10"},
      {"Subject: x", "http://" + tenLabels + "/", "", {VerdictOther, ReasonNone}, tenStarts},
      // Sender domains of three fields; "<>" does not split, so From's parts are asked again.
      {three, "", "3:to.example", {VerdictSpam, ReasonDomainZone},
       "0:from.example 3:from.example 0:from.example 3:from.example 0:to.example 3:to.example"},
      {relays, "", "2:7.2.0.192", {VerdictSpam, ReasonRelayZoneB},
       "1:1.0.32.172 2:1.0.32.172 1:1.0.128.100 2:1.0.128.100 1:1.0.255.169 2:1.0.255.169 "
       "1:7.2.0.192 2:7.2.0.192"},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    zones.asked.clear();
    zones.answers.clear();
    for (const std::string& item : Words(c.listed))
      zones.answers[{item.substr(2), item[0] - '0'}] = 1;
    EXPECT_EQ(Judge(Message(c.header + "\r\n", c.body)), c.result);
    EXPECT_EQ(zones.asked, Words(c.asked));
    // Questions asked at once decide as asking them in turn does: by the order of the rules.
    CMailMessage message;
    message.Parse(Message(c.header + "\r\n", c.body));
    EXPECT_EQ(atOnce.Decide(message), c.result);
  }
  zones.defaultAnswer = -1;  // errors never list anything
  EXPECT_EQ(Judge(Message("From: a@b.example\r\nReceived: [192.0.2.1]\r\n", "http://x.example/")),
            Result(VerdictOther, ReasonNone));
}

// A message that names thousands of hosts and dozens of relays, each new one listed, with the
// sender's domain listed too.
std::string FloodMessage(FakeZones& zones) {
  std::string header = "From: a@sender.example\r\n";
  std::string body;
  for (int i = 0; i < 3000; ++i) {
    const std::string host = "h" + std::to_string(i) + ".example";
    body += "http://" + host + "/ ";
    if (i >= 32) zones.answers[{host, UrlHostZone}] = 1;
  }
  for (int i = 1; i <= 40; ++i) {
    header += "Received: from x ([192.0.2." + std::to_string(i) + "]) by 192.0.2.1\r\n";
    if (i > 24) zones.answers[{std::to_string(i) + ".2.0.192", RelayZoneA}] = 1;
  }
  zones.answers[{"sender.example", DomainZone}] = 1;
  return Message(header, body);
}

TEST_F(SpamClassifierTest, AMessageLooksUpAtMostSoManyDistinctHostsAndRelays) {
  LogRecorder log;
  SetReporter(&log);
  const std::string text = FloodMessage(zones);
  zones.answers[{"sender.example", DomainZone}] = 0;
  EXPECT_EQ(Judge(text), Result(VerdictOther, ReasonNone));
  SetReporter(nullptr);
  // 32 hosts of one name each, the sender's domain, and 24 distinct relays; the address that
  // every field names besides its own is asked again (the caches answer it) without counting.
  EXPECT_EQ(zones.asked.size(), 32 * 2 + 2 + 24 * 2 + 24 * 2);
  EXPECT_EQ(zones.asked[63], "3:h31.example");
  EXPECT_EQ(zones.asked.back(), "2:1.2.0.192");
  EXPECT_EQ(log.Take(), (std::vector<std::string>{
                            "RBL : A message names more than 32 link hosts; only the first 32 are "
                            "looked up.",
                            "RBL : A message names more than 24 relay addresses; only the first "
                            "24 are looked up."}));
}

TEST_F(SpamClassifierTest, ASilentDnsEndsAMessagesRulesAfterItsBudget) {
  SpamClassifier atOnce{lists, zones, [this] { return zones.Now(); }};
  for (SpamClassifier* judge : {&classifier, &atOnce}) {
    SCOPED_TRACE(judge == &classifier ? "one after another" : "at once");
    zones.asked.clear();
    LogRecorder log;
    SetReporter(&log);
    zones.defaultAnswer = -1;
    zones.delay = zones.LookupTimeout();
    CMailMessage flood;
    flood.Parse(FloodMessage(zones));
    EXPECT_EQ(judge->Decide(flood), Result(VerdictOther, ReasonNone));
    SetReporter(nullptr);
    // Six look-ups that time out use up the budget; after them nothing is asked, listed or
    // not, but those that had already started (20 at most at once).
    EXPECT_LE(zones.asked.size(), judge == &classifier ? 6u : 5u + 20u);
    EXPECT_EQ(log.Take(), std::vector<std::string>{"RBL : The look-ups for one message ( "
                                                   "a@sender.example ) ran past 30 s; its "
                                                   "remaining blocklist rules are skipped."});
    // Answers just within the budget still decide.
    zones.delay = zones.LookupTimeout() * 5 / 9;
    CMailMessage listed;
    listed.Parse(Message("From: a@sender.example\r\n", "http://h40.example/"));
    EXPECT_EQ(judge->Decide(listed), Result(VerdictSpam, ReasonUrlHostZone));
  }
}

}  // namespace
}  // namespace qm
