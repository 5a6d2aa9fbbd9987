#include "classify/spam_classifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "classify/blocklist.h"
#include "classify/fake_dns.h"
#include "message/mail_message.h"
#include "support/words.h"

namespace qm {
namespace {

using Result = std::pair<Verdict, Reason>;
using test::Words;

// Answers "zone:key" questions from a table and records them in the order asked; each takes
// `delay` on the clock that the classifier reads.
class FakeZones : public IZoneLookup {
 public:
  int Lookup(std::string_view key, int zone) override {
    std::lock_guard lock(mutex);
    asked.push_back(std::to_string(zone) + ":" + std::string(key));
    now += delay;
    const auto it = answers.find(asked.back());
    return it == answers.end() ? defaultAnswer : it->second;
  }
  std::chrono::milliseconds LookupTimeout() const override { return std::chrono::seconds(5); }
  std::chrono::steady_clock::time_point Now() {
    std::lock_guard lock(mutex);
    return now;
  }
  std::map<std::string, int> answers;
  std::vector<std::string> asked;
  int defaultAnswer = 0;
  std::chrono::steady_clock::time_point now;
  std::chrono::milliseconds delay{0};
  std::mutex mutex;
};

class SpamClassifierTest : public ::testing::Test {
 protected:
  // Classifies with one question after another, so that `zones.asked` is in the order of the rules.
  Result Judge(const std::string& header, const std::string& body = "") {
    CMailMessage message;
    message.Parse(header + "\r\n\r\n" + body + "\r\n.\r\n");
    message.mark.SetHidden(true);
    classifier.Classify(message);
    EXPECT_TRUE(message.mark.Hidden()) << "other bits of the mark must stay";
    asked = std::exchange(zones.asked, {});
    const Result result{static_cast<Verdict>(message.mark.GetVerdict()),
                        static_cast<Reason>(message.mark.GetReason())};
    EXPECT_EQ(atOnce.Decide(message), result) << "asked at once, the rules' order decides";
    return result;
  }
  // Thousands of hosts and dozens of relays, each new one listed, with the sender's domain too.
  std::string Flood(std::string& body) {
    std::string header = "From: a@sender.example";
    for (int i = 0; i < 3000; ++i) {
      body += "http://h" + std::to_string(i) + ".example/ ";
      if (i >= 32) zones.answers["0:h" + std::to_string(i) + ".example"] = 1;
    }
    for (int i = 1; i <= 40; ++i) {
      header += "\r\nReceived: from x ([192.0.2." + std::to_string(i) + "]) by 192.0.2.1";
      if (i > 24) zones.answers["1:" + std::to_string(i) + ".2.0.192"] = 1;
    }
    zones.answers["3:sender.example"] = 1;
    return header;
  }

  CSenderLists lists;
  FakeZones zones;
  LogRecorder log;
  SpamClassifier classifier{lists, zones, [this] { return zones.Now(); }, 1};
  std::vector<std::string> asked;
  SpamClassifier atOnce{lists, zones, [this] { return zones.Now(); }};
};

TEST_F(SpamClassifierTest, ListsThenQuestionsInTheOrderOfTheRules) {
  lists.AddFriend("taro@");
  lists.AddBad("spam@example.jp");
  lists.AddBad("hanako@");  // in both lists (a prefix in the other): friend wins
  lists.AddFriend("hanako@example.jp");
  // Relays: private, loopback, link-local, shared, "this network" and reserved ranges at their
  // edges, then the public addresses just outside them.
  std::string relays = "Subject: x";
  for (const std::string& address :
       Words("127.0.0.1 10.255.0.1 172.16.0.1 172.31.255.255 192.168.3.4 169.254.9.9 100.64.0.1 "
             "100.127.255.255 0.1.2.3 240.0.0.1 255.255.255.255 172.32.0.1 100.128.0.1 "
             "169.255.0.1 192.0.2.7")) {
    relays += "\r\nReceived: from x ([" + address + "]) by y";
  }
  const std::string labels = "1a.2a.3a.4a.5a.6a.7a.8a.9a.10a.11a.12a";
  std::string tenStarts;  // at most ten label starts are collected, the last one never asked
  for (std::size_t at = 0; at < 27; at += 3)
    tenStarts += " 0:" + labels.substr(at) + " 3:" + labels.substr(at);
  const struct {
    std::string header, body;
    const char* listed;  // "zone:key" words answered as listed
    Result result;
    std::string asked;
  } cases[] = {
      // clang-format off
      {"From: <taro@example.jp>", "http://x.y/", "0:x.y", {VerdictFriend, ReasonFriendList}, ""},
      {"From: spam@example.jp", "", "", {VerdictBad, ReasonBadList}, ""},
      {"From: hanako@example.jp", "", "", {VerdictFriend, ReasonFriendList}, ""},
      {"From: spam@example.j", "", "", {VerdictOther, ReasonNone}, "0:example.j 3:example.j"},
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
      {"Subject: x", "http://" + labels + "/", "", {VerdictOther, ReasonNone}, tenStarts.substr(1)},
      // Sender domains of three fields; "<>" does not split, so From's parts are asked again.
      {"From: T <t@from.example>\r\nReturn-Path: <>\r\nReturn-To: x@to.example", "", "3:to.example",
       {VerdictSpam, ReasonDomainZone},
       "0:from.example 3:from.example 0:from.example 3:from.example 0:to.example 3:to.example"},
      {relays, "", "2:7.2.0.192", {VerdictSpam, ReasonRelayZoneB},
       "1:1.0.32.172 2:1.0.32.172 1:1.0.128.100 2:1.0.128.100 1:1.0.255.169 2:1.0.255.169 "
       "1:7.2.0.192 2:7.2.0.192"},
      // clang-format on
  };
  for (const auto& c : cases) {
    zones.asked.clear();
    zones.answers.clear();
    for (const std::string& item : Words(c.listed)) zones.answers[item] = 1;
    EXPECT_EQ(Judge(c.header, c.body), c.result) << c.asked;
    EXPECT_EQ(asked, Words(c.asked));
  }
  zones.defaultAnswer = -1;  // errors never list anything
  EXPECT_EQ(Judge("From: a@b.example\r\nReceived: [192.0.2.1]", "http://x.example/"),
            Result(VerdictOther, ReasonNone));
  EXPECT_EQ(Judge("Subject: no sender"), Result(VerdictOther, ReasonNone));
  lists.SetAddEmptyAddrToBadlist(true);
  EXPECT_EQ(Judge("Subject: no sender"), Result(VerdictBad, ReasonBadList));
}

TEST_F(SpamClassifierTest, AMessageLooksUpAtMostSoManyDistinctHostsAndRelays) {
  std::string body;
  const std::string header = Flood(body);
  zones.answers["3:sender.example"] = 0;
  CMailMessage message;
  message.Parse(header + "\r\n\r\n" + body + "\r\n.\r\n");
  EXPECT_EQ(classifier.Decide(message), Result(VerdictOther, ReasonNone));
  // 32 hosts of one name each, the sender's domain, and 24 distinct relays; the address that
  // every field names besides its own is asked again (the caches answer it) without counting.
  EXPECT_EQ(zones.asked.size(), 32 * 2 + 2 + 24 * 2 + 24 * 2);
  EXPECT_EQ(zones.asked[63] + " " + zones.asked.back(), "3:h31.example 2:1.2.0.192");
  EXPECT_EQ(
      log.Take(),
      (std::vector<std::string>{
          "RBL : A message names more than 32 link hosts; only the first 32 are looked up.",
          "RBL : A message names more than 24 relay addresses; only the first 24 are looked up."}));
}

TEST_F(SpamClassifierTest, ASilentDnsEndsAMessagesRulesAfterItsBudget) {
  for (SpamClassifier* judge : {&classifier, &atOnce}) {
    zones.asked.clear();
    zones.defaultAnswer = -1;
    zones.delay = zones.LookupTimeout();
    std::string body;
    CMailMessage flood, listed;
    flood.Parse(Flood(body) + "\r\n\r\n" + body + "\r\n.\r\n");
    EXPECT_EQ(judge->Decide(flood), Result(VerdictOther, ReasonNone));
    // Six look-ups that time out use up the budget; after them nothing is asked but those that
    // had already started.
    EXPECT_LE(zones.asked.size(), judge == &classifier ? 6u : 5u + 20u);
    EXPECT_EQ(log.Take(), std::vector<std::string>{"RBL : The look-ups for one message ( "
                                                   "a@sender.example ) ran past 30 s; its "
                                                   "remaining blocklist rules are skipped."});
    zones.delay = zones.LookupTimeout() * 5 / 9;  // answers just within the budget still decide
    listed.Parse("From: a@sender.example\r\n\r\nhttp://h40.example/\r\n.\r\n");
    EXPECT_EQ(judge->Decide(listed), Result(VerdictSpam, ReasonUrlHostZone));
  }
}

}  // namespace
}  // namespace qm
