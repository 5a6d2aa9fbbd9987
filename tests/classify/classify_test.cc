// The friend and bad lists, their files, and the classifier's rules over them and the blocklists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classify/fake_dns.h"
#include "classify/sender_lists.h"
#include "classify/spam_classifier.h"
#include "classify/text_list.h"
#include "message/mail_message.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"
#include "support/words.h"

namespace qm {
namespace {

using namespace std::string_literals;
using test::Words;

std::string EntriesOf(const TextList& list) {
  std::string entries;
  list.ForEach([&entries](std::string_view key, std::int32_t value) {
    entries += std::string(key) + "=" + std::to_string(value) + "|";
    return 1;
  });
  return entries;
}

// A stored key covers the longer keys it starts (they go or are not stored); unsigned byte order.
TEST(TextListTest, KeysCoverLongerOnesAndComeInUnsignedOrder) {
  TextList list;
  // clang-format off
  for (const auto& [key, value] : {std::pair{"abc"s, 1}, {"abd"s, 2}, {"ab"s, 3}, {"abx"s, 4}, {"ab"s, 9}, {"\xff"s, 5}, {"\x80z"s, 6}, {"B\0c"s, 7}, {""s, 8}})
    list.Insert(key, value);
  // clang-format on
  std::int32_t found = -1, missed = -1;
  EXPECT_EQ(EntriesOf(list), "B\0c=7|ab=9|\x80z=6|\xff=5|"s);
  const auto find = [&list](const std::string& key, std::int32_t* value) {
    return std::to_string(list.Find(key, value)) + " ";
  };
  EXPECT_EQ(find("abzz", &found) + find("a", &missed) + find("B\0cd"s, nullptr) + find("", nullptr),
            "2 0 3 0 ");
  // Only a stored key itself is removed; a list emptied key by key takes new keys as before.
  EXPECT_EQ(list.Remove("a") + list.Remove("abc") + list.Remove(""), 0);
  TextList copy = list;
  for (const char* key : {"ab", "\xff", "\x80z"}) EXPECT_EQ(copy.Remove(key), 1);
  EXPECT_EQ(copy.Remove("B\0c"s) + copy.Empty() + list.Empty(), 2);
  copy.Insert("again", 1);
  EXPECT_EQ(EntriesOf(copy) + std::to_string(found) + std::to_string(missed), "again=1|9-1");
  // Very long keys need no deep recursion, neither to copy, remove, replace nor destroy.
  const std::string deep(300000, 'x');
  TextList deepList;
  deepList.Insert(deep + "y", 2);
  EXPECT_EQ(static_cast<int>(deep.size() + 1), deepList.Find(deep + "yz"));
  TextList deepCopy = deepList;
  EXPECT_EQ(1, deepCopy.Remove(deep + "y"));
  deepList.Insert(deep.substr(0, 10), 3);
  EXPECT_EQ(EntriesOf(deepList), deep.substr(0, 10) + "=3|");
  deepList.Insert(deep, 4);
}

// Files are read a line (or 1023-byte piece) at a time, and may be cut anywhere.
TEST(TextListTest, FilesReadAsWrittenAndEveryPrefixReads) {
  const std::string nul(1, '\0'), piece(1021, 'a');
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"\r\n\n  \t\r\n\r\r\n", ""}, {"1 a@" + nul + "\r\r\n-2 b@" + nul + "\r\r\n", "a@=1|b@=-2|"},
      {"1 a@\n2 b\rc", "a@=1|b\rc=2|"} /* a lone CR is no line end */, {"0 John Doe <j@x>\n5  x\n", " x=5|John Doe <j@x>=0|"},
      {"john@\n42abc\n17 \r\nx y\n+8 k\n", "17=17|42abc=42|john@=0|k=8|y=0|"}, {"1 k\n2 k\n1 ab@\n2 a\n3 abc\n", "a=2|k=2|"},
      {"99999999999 k\n-99999999999 l\n \t 3 z \t\r\n", "k=2147483647|l=-2147483648|z=3|"}, {"1 a" + nul + "junk\n" + nul + "2 b\n", "a=1|"} /* cut at NUL */,
      {"7 " + piece + "12 tail\n7 " + piece + "\r\n1 b\n", piece + "=7|b=1|tail=12|"},
      // clang-format on
  };
  for (const auto& [bytes, entries] : cases) {
    TextList list;
    list.Insert("stale", 1);
    for (std::size_t n = 0; n <= bytes.size(); ++n) ReadTextListFile(bytes.substr(0, n), list);
    EXPECT_EQ(EntriesOf(list), entries) << bytes.substr(0, 40);
  }
}

// Only changed lists are saved, an emptied one too; an empty list never replaces or creates a file.
TEST(SenderListsTest, SavesOnlyChangedListsAndLoadsWhatItSaved) {
  ScratchDirectory dir;
  CSenderLists lists, again;
  EXPECT_TRUE(lists.AddBad("a@x.jp") && lists.AddFriend("f@") && lists.SaveChanged(dir.Path()));
  test::WriteFileBytes(dir.File("bad.txt"), "1 sentinel\n");
  EXPECT_TRUE(lists.AddTo(SenderList::Friend, "a@x.jp") && lists.InBadList("a@x.jp") &&
              lists.RemoveFrom(SenderList::Friend, "f@"));
  EXPECT_FALSE(lists.RemoveFrom(SenderList::Friend, "f@") || lists.AddTo(SenderList::Friend, ""));
  ASSERT_TRUE(lists.SaveChanged(dir.Path()) && lists.RemoveFrom(SenderList::Friend, "a@x.jp") &&
              lists.SaveChanged(dir.Path()));
  again.Load(dir.Path());
  EXPECT_EQ(again.FriendEntries().size() * 10 + again.BadEntries().size(), 1u);
  EXPECT_TRUE(again.InBadList("sentinel@x.jp"));
  TextList list;
  test::WriteFileBytes(dir.File("bad.txt"), "\r\n\r\n");
  const int loaded = list.Load(dir.File("bad.txt")), missing = list.Load(dir.File("absent.txt"));
  EXPECT_EQ(list.Save(dir.File("bad.txt")) + list.Save(dir.File("missing/bad.txt")), 0);
  EXPECT_EQ(
      std::to_string(loaded) + std::to_string(missing) + test::ReadFileBytes(dir.File("bad.txt")),
      "10\r\n\r\n");
}

using Result = std::pair<Verdict, Reason>;

class SpamClassifierTest : public ::testing::Test {
 protected:
  // One question at a time (`asked` in rule order), then all at once, which must decide alike.
  Result Judge(const std::string& header, const std::string& body = "") {
    CMailMessage message;
    message.Parse(header + "\r\n\r\n" + body + "\r\n.\r\n");
    message.mark.SetHidden(true);
    classifier.Classify(message);
    EXPECT_TRUE(message.mark.Hidden()) << "other bits of the mark must stay";
    asked = std::exchange(zones.asked, {});
    const Result result{static_cast<Verdict>(message.mark.GetVerdict()),
                        static_cast<Reason>(message.mark.GetReason())};
    EXPECT_EQ(atOnce.Decide(message), result);
    zones.asked.clear();
    return result;
  }

  CSenderLists lists;
  FakeZones zones;
  LogRecorder log;
  std::vector<std::string> asked;
  SpamClassifier classifier{lists, zones, [this] { return zones.Now(); }, 1};
  SpamClassifier atOnce{lists, zones, [this] { return zones.Now(); }};
};

TEST_F(SpamClassifierTest, ListsThenQuestionsInTheOrderOfTheRules) {
  EXPECT_TRUE(lists.AddBad("spam@example.jp") && lists.AddBad("hanako@") &&
              lists.AddFriend("hanako@example.jp"));
  // Relays in non-public ranges at their edges, then public addresses just outside them.
  std::string relays = "Subject: x";
  for (const std::string& address :
       Words("127.0.0.1 10.255.0.1 172.16.0.1 172.31.255.255 192.168.3.4 169.254.9.9 100.64.0.1 "
             "100.127.255.255 0.1.2.3 240.0.0.1 255.255.255.255 172.32.0.1 100.128.0.1 169.255.0.1 "
             "192.0.2.7")) {
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
      // Lists come first and match by prefix; in both lists (a prefix in the other), friend wins.
      {"From: hanako@example.jp", "http://x.y/", "0:x.y", {VerdictFriend, ReasonFriendList}, ""}, {"From: spam@example.jp", "", "", {VerdictBad, ReasonBadList}, ""},
      {"From: spam@example.j", "", "", {VerdictOther, ReasonNone}, "0:example.j 3:example.j"},
      // Repeated hosts and single labels are not asked; a host that starts with one seen is new.
      {"Subject: x", "http://localhost/ http://a.jp/ https://a.jp/x http://a.jp.ev.test/", "", {VerdictOther, ReasonNone},
       "0:a.jp 3:a.jp 0:a.jp.ev.test 3:a.jp.ev.test 0:jp.ev.test 3:jp.ev.test 0:ev.test 3:ev.test"},
      // An address as host is asked only reversed, in zone 0.
      {"Subject: x", "http://192.0.2.1:8080/ http://10.0.0.1.example/", "0:1.0.0.10", {VerdictSpam, ReasonUrlHostZone}, "0:1.2.0.192 0:1.0.0.10"},
      {"Subject: x", "http://" + labels + "/", "", {VerdictOther, ReasonNone}, tenStarts.substr(1)},
      // Sender domains of three fields; "<>" does not split, so From's parts are asked again.
      {"From: T <t@from.example>\r\nReturn-Path: <>\r\nReturn-To: x@to.example", "", "3:to.example", {VerdictSpam, ReasonDomainZone},
       "0:from.example 3:from.example 0:from.example 3:from.example 0:to.example 3:to.example"},
      {relays, "", "2:7.2.0.192", {VerdictSpam, ReasonRelayZoneB},
       "1:1.0.32.172 2:1.0.32.172 1:1.0.128.100 2:1.0.128.100 1:1.0.255.169 2:1.0.255.169 1:7.2.0.192 2:7.2.0.192"},
      // clang-format on
  };
  for (const auto& c : cases) {
    zones.answers.clear();
    for (const std::string& item : Words(c.listed)) zones.answers[item] = 1;
    EXPECT_EQ(Judge(c.header, c.body), c.result) << c.asked;
    EXPECT_EQ(asked, Words(c.asked));
  }
  zones.otherwise = -1;  // errors never list anything
  EXPECT_EQ(Judge("From: a@b.example\r\nReceived: [192.0.2.1]", "http://x.example/"),
            Result(VerdictOther, ReasonNone));
  EXPECT_EQ(Judge("From: undisclosed recipients"), Result(VerdictOther, ReasonNone));
  lists.SetAddEmptyAddrToBadlist(true);
  EXPECT_EQ(Judge("From: undisclosed recipients"), Result(VerdictBad, ReasonBadList));
}

TEST_F(SpamClassifierTest, AFloodLooksUpSoManyHostsAndRelaysAndASilentDnsEndsItsRules) {
  // Thousands of hosts and dozens of relays, each new one listed.
  std::string header = "From: a@sender.example", body;
  for (int i = 0; i < 3000; ++i) {
    body += "http://h" + std::to_string(i) + ".example/ ";
    if (i >= 32) zones.answers["0:h" + std::to_string(i) + ".example"] = 1;
  }
  for (int i = 1; i <= 40; ++i) {
    header += "\r\nReceived: from x ([192.0.2." + std::to_string(i) + "]) by 192.0.2.1";
    if (i > 24) zones.answers["1:" + std::to_string(i) + ".2.0.192"] = 1;
  }
  CMailMessage flood, listed;
  flood.Parse(header + "\r\n\r\n" + body + "\r\n.\r\n");
  EXPECT_EQ(classifier.Decide(flood), Result(VerdictOther, ReasonNone));
  // 32 hosts, the sender's domain, 24 relays; the one all fields name is asked again uncounted.
  EXPECT_EQ(zones.asked.size(), 32 * 2 + 2 + 24 * 2 + 24 * 2);
  EXPECT_EQ(zones.asked[63] + " " + zones.asked.back(), "3:h31.example 2:1.2.0.192");
  EXPECT_EQ(
      log.Take(),
      (std::vector<std::string>{
          "RBL : A message names more than 32 link hosts; only the first 32 are looked up.",
          "RBL : A message names more than 24 relay addresses; only the first 24 are looked up."}));
  for (SpamClassifier* judge : {&classifier, &atOnce}) {
    zones.asked.clear();
    zones.otherwise = -1;
    zones.delay = zones.LookupTimeout();
    EXPECT_EQ(judge->Decide(flood), Result(VerdictOther, ReasonNone));
    // Six time-outs use up the budget; then nothing new is asked.
    EXPECT_LE(zones.asked.size(), judge == &classifier ? 6u : 5u + 20u);
    EXPECT_EQ(log.Take(), std::vector<std::string>{
                              "RBL : The look-ups for one message ( a@sender.example ) ran past 30 "
                              "s; its remaining blocklist rules are skipped."});
    zones.delay = zones.LookupTimeout() * 5 / 9;  // answers just within the budget still decide
    listed.Parse("From: a@sender.example\r\n\r\nhttp://h40.example/\r\n.\r\n");
    EXPECT_EQ(judge->Decide(listed), Result(VerdictSpam, ReasonUrlHostZone));
  }
}

}  // namespace
}  // namespace qm
