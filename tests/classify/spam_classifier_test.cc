#include "classify/spam_classifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "message/mail_message.h"
#include "support/recording_reporter.h"

namespace qm {
namespace {

// Answers from a table and records every question in order. Each question takes `delay` on
// the clock that the classifier reads.
class FakeZones : public IZoneLookup {
 public:
  int Lookup(std::string_view key, int zone) override {
    asked.push_back(std::to_string(zone) + ":" + std::string(key));
    now += delay;
    const auto it = answers.find({std::string(key), zone});
    return it == answers.end() ? defaultAnswer : it->second;
  }
  std::chrono::milliseconds LookupTimeout() const override { return std::chrono::seconds(5); }
  std::map<std::pair<std::string, int>, int> answers;
  std::vector<std::string> asked;
  int defaultAnswer = 0;
  std::chrono::steady_clock::time_point now;
  std::chrono::milliseconds delay{0};
};

std::string Message(const std::string& header, const std::string& body = "") {
  return header + "\r\n" + body + "\r\n.\r\n";
}

class SpamClassifierTest : public ::testing::Test {
 protected:
  std::pair<Verdict, Reason> Judge(const std::string& text) {
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
  SpamClassifier classifier{lists, zones, [this] { return zones.now; }};
};

using Result = std::pair<Verdict, Reason>;

TEST_F(SpamClassifierTest, ListsComeFirstAndMatchByPrefix) {
  lists.AddFriend("taro@");
  lists.AddBad("spam@example.jp");
  EXPECT_EQ(Judge(Message("From: <taro@example.jp>\r\n")), Result(VerdictFriend, ReasonFriendList));
  EXPECT_EQ(Judge(Message("From: spam@example.jp\r\n")), Result(VerdictBad, ReasonBadList));
  // An entry longer than the address does not match.
  EXPECT_EQ(Judge(Message("From: spam@example.j\r\n")), Result(VerdictOther, ReasonNone));
  // In both lists: friend wins. (Adding to one list takes the address out of the other, so the
  // bad entry is a prefix here.)
  lists.AddBad("hanako@");
  lists.AddFriend("hanako@example.jp");
  EXPECT_EQ(Judge(Message("From: hanako@example.jp\r\n")), Result(VerdictFriend, ReasonFriendList));
}

TEST_F(SpamClassifierTest, EmptySenderCountsAsBadOnlyWhenAsked) {
  EXPECT_EQ(Judge(Message("Subject: no sender\r\n")), Result(VerdictOther, ReasonNone));
  lists.SetAddEmptyAddrToBadlist(true);
  EXPECT_EQ(Judge(Message("Subject: no sender\r\n")), Result(VerdictBad, ReasonBadList));
  EXPECT_FALSE(lists.AddBad(""));
  EXPECT_FALSE(lists.AddFriend(""));
}

TEST_F(SpamClassifierTest, LinkHostsAreTriedInOrderLabelByLabelZoneZeroThenThree) {
  zones.answers[{"c.d", DomainZone}] = 1;
  zones.answers[{"x.y", UrlHostZone}] = 1;
  EXPECT_EQ(Judge(Message("From: a@b\r\n", "http://a.b.c.d/ http://x.y/")),
            Result(VerdictSpam, ReasonDomainZone));
  EXPECT_EQ(zones.asked, (std::vector<std::string>{"0:a.b.c.d", "3:a.b.c.d", "0:b.c.d", "3:b.c.d",
                                                   "0:c.d", "3:c.d"}));
}

TEST_F(SpamClassifierTest, RepeatedHostsAndSingleLabelsAreNotAsked) {
  EXPECT_EQ(Judge(Message("Subject: x\r\n",
                          "http://localhost/ http://a.jp/ https://a.jp/x http://a.jp.ev.test/")),
            Result(VerdictOther, ReasonNone));
  // A host that merely starts with one already seen is a host of its own.
  EXPECT_EQ(zones.asked,
            (std::vector<std::string>{"0:a.jp", "3:a.jp", "0:a.jp.ev.test", "3:a.jp.ev.test",
                                      "0:jp.ev.test", "3:jp.ev.test", "0:ev.test", "3:ev.test"}));
}

TEST_F(SpamClassifierTest, AnAddressAsHostIsAskedOnlyReversedInZoneZero) {
  Judge(Message("Subject: x\r\n", "http://192.0.2.1:8080/ http://10.0.0.1.example/"));
  EXPECT_EQ(zones.asked, (std::vector<std::string>{"0:1.2.0.192", "0:1.0.0.10"}));
  zones.asked.clear();
  zones.answers[{"1.2.0.192", UrlHostZone}] = 1;
  EXPECT_EQ(Judge(Message("Subject: x\r\n", "http://192.0.2.1/")),
            Result(VerdictSpam, ReasonUrlHostZone));
}

TEST_F(SpamClassifierTest, AtMostTenLabelStartsAreCollected) {
  Judge(Message("Subject: x\r\n", "http://1a.2a.3a.4a.5a.6a.7a.8a.9a.10a.11a.12a/"));
  // Ten starts, the last one never asked: nine names, two zones each.
  ASSERT_EQ(zones.asked.size(), 18u);
  EXPECT_EQ(zones.asked.back(), "3:9a.10a.11a.12a");
}

TEST_F(SpamClassifierTest, SenderDomainsOfThreeFieldsShareTheirParts) {
  Judge(Message("From: Taro <t@from.example>\r\nReturn-Path: <>\r\nReturn-To: x@to.example\r\n"));
  // "<>" does not split: the From parts are asked again for Return-Path.
  EXPECT_EQ(zones.asked,
            (std::vector<std::string>{"0:from.example", "3:from.example", "0:from.example",
                                      "3:from.example", "0:to.example", "3:to.example"}));
  zones.answers[{"to.example", DomainZone}] = 1;
  EXPECT_EQ(Judge(Message("Return-To: x@to.example\r\n")), Result(VerdictSpam, ReasonDomainZone));
}

TEST_F(SpamClassifierTest, RelaysSkipAddressesOfNoPublicNetworkAndTryBothZones) {
  std::string header;
  // Private, loopback, link-local, shared, "this network" and reserved ranges at their edges,
  // then the public addresses just outside them.
  for (const char* address :
       {"127.0.0.1", "10.255.0.1", "172.16.0.1", "172.31.255.255", "192.168.3.4", "169.254.9.9",
        "100.64.0.1", "100.127.255.255", "0.1.2.3", "240.0.0.1", "255.255.255.255", "172.32.0.1",
        "100.128.0.1", "169.255.0.1", "192.0.2.7"}) {
    header += "Received: from x ([" + std::string(address) + "]) by y\r\n";
  }
  zones.answers[{"7.2.0.192", RelayZoneB}] = 1;
  EXPECT_EQ(Judge(Message(header)), Result(VerdictSpam, ReasonRelayZoneB));
  EXPECT_EQ(zones.asked, (std::vector<std::string>{"1:1.0.32.172", "2:1.0.32.172", "1:1.0.128.100",
                                                   "2:1.0.128.100", "1:1.0.255.169",
                                                   "2:1.0.255.169", "1:7.2.0.192", "2:7.2.0.192"}));
}

TEST_F(SpamClassifierTest, ErrorsNeverListAnything) {
  zones.defaultAnswer = -1;
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
  test::RecordingReporter log;
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
  EXPECT_EQ(log.logLines,
            (std::vector<std::string>{
                "RBL : A message names more than 32 link hosts; only the first 32 are looked up.",
                "RBL : A message names more than 24 relay addresses; only the first 24 are "
                "looked up."}));
}

TEST_F(SpamClassifierTest, ASilentDnsEndsAMessagesRulesAfterItsBudget) {
  test::RecordingReporter log;
  SetReporter(&log);
  zones.defaultAnswer = -1;
  zones.delay = zones.LookupTimeout();
  EXPECT_EQ(Judge(FloodMessage(zones)), Result(VerdictOther, ReasonNone));
  SetReporter(nullptr);
  // Six look-ups that time out use up the budget; nothing after them is asked, listed or not.
  EXPECT_EQ(zones.asked.size(), 6u);
  EXPECT_EQ(log.logLines,
            std::vector<std::string>{"RBL : The look-ups for one message ( a@sender.example ) ran "
                                     "past 30 s; its remaining blocklist rules are skipped."});

  // Answers just within the budget still decide.
  zones.asked.clear();
  zones.delay = zones.LookupTimeout() * 5 / 9;
  EXPECT_EQ(Judge(Message("From: a@sender.example\r\n", "http://h40.example/")),
            Result(VerdictSpam, ReasonUrlHostZone));
}

}  // namespace
}  // namespace qm
