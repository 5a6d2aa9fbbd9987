#include "classify/spam_classifier.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "message/mail_message.h"

namespace qm {
namespace {

// Answers from a table and records every question in order.
class FakeZones : public IZoneLookup {
 public:
  int Lookup(std::string_view key, int zone) override {
    asked.push_back(std::to_string(zone) + ":" + std::string(key));
    const auto it = answers.find({std::string(key), zone});
    return it == answers.end() ? defaultAnswer : it->second;
  }
  std::map<std::pair<std::string, int>, int> answers;
  std::vector<std::string> asked;
  int defaultAnswer = 0;
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
  SpamClassifier classifier{lists, zones};
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
  EXPECT_EQ(Judge(Message("Subject: x\r\n", "http://localhost/ http://a.jp/ https://a.jp/x")),
            Result(VerdictOther, ReasonNone));
  EXPECT_EQ(zones.asked, (std::vector<std::string>{"0:a.jp", "3:a.jp"}));
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

TEST_F(SpamClassifierTest, RelaysSkipLoopbackAndTryBothZones) {
  const std::string header =
      "Received: from a ([127.0.0.1])\r\nReceived: from b ([192.0.2.7]) by c\r\n";
  zones.answers[{"7.2.0.192", RelayZoneB}] = 1;
  EXPECT_EQ(Judge(Message(header)), Result(VerdictSpam, ReasonRelayZoneB));
  EXPECT_EQ(zones.asked, (std::vector<std::string>{"1:7.2.0.192", "2:7.2.0.192"}));
}

TEST_F(SpamClassifierTest, ErrorsNeverListAnything) {
  zones.defaultAnswer = -1;
  EXPECT_EQ(Judge(Message("From: a@b.example\r\nReceived: [192.0.2.1]\r\n", "http://x.example/")),
            Result(VerdictOther, ReasonNone));
}

}  // namespace
}  // namespace qm
