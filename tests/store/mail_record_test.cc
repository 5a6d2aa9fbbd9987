#include "store/mail_record.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace qm {
namespace {

TEST(MailMarkTest, FreshMarkIsUnreadVisibleUnclassified) {
  const CMailMark mark;
  EXPECT_EQ(mark.flags, 0x0000000Cu);
  EXPECT_FALSE(mark.Hidden());
  EXPECT_FALSE(mark.Opened());
  EXPECT_EQ(mark.GetVerdict(), VerdictUnclassified);
  EXPECT_EQ(mark.GetReason(), ReasonNone);
  EXPECT_TRUE(mark.uidl.empty());
}

struct VerdictCase {
  int verdict;
  unsigned reason;
  std::uint32_t bits;  // bits 2-7 of the flag word
};

class VerdictBitsTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictBitsTest, RoundTripsThroughTheFlagWord) {
  const VerdictCase& c = GetParam();
  CMailMark mark;
  // Bits outside 2-7 (hidden, opened and the unused high bits) must survive.
  mark.flags = 0xABCD0003u;
  mark.SetClassification(c.verdict, c.reason);
  EXPECT_EQ(mark.flags, 0xABCD0003u | c.bits);
  EXPECT_EQ(mark.GetVerdict(), c.verdict);
  EXPECT_EQ(mark.GetReason(), c.reason);
  EXPECT_EQ(CMailMark::VerdictOf(mark.flags), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(Verdicts, VerdictBitsTest,
                         ::testing::Values(VerdictCase{VerdictOther, ReasonNone,
                                                       0x1C},  // 111: sign-extended to -1
                                           VerdictCase{VerdictFriend, ReasonFriendList, 0x20},
                                           VerdictCase{VerdictSpam, ReasonRelayZoneB, 0xC4},
                                           VerdictCase{VerdictBad, ReasonBadList, 0x48},
                                           VerdictCase{VerdictUnclassified, ReasonNone, 0x0C},
                                           VerdictCase{VerdictSpam, ReasonDomainZone, 0x84}),
                         [](const auto& param) {
                           return "Verdict" + std::to_string(param.param.verdict + 1) + "Reason" +
                                  std::to_string(param.param.reason);
                         });

TEST(MailMarkTest, HiddenAndOpenedBits) {
  CMailMark mark;
  mark.SetHidden(true);
  mark.SetOpened(true);
  EXPECT_EQ(mark.flags, 0x0Fu);
  mark.SetHidden(false);
  EXPECT_EQ(mark.flags, 0x0Eu);
  CMailMark copy = mark;
  copy.uidl = "abc";
  EXPECT_EQ(copy.flags, mark.flags);
  EXPECT_FALSE(copy == mark);
}

TEST(MailSummaryTest, DefaultIsEmpty) {
  const MailSummary summary;
  EXPECT_EQ(summary.verdict, 0);
  EXPECT_EQ(summary.reason, 0u);
  EXPECT_EQ(summary.received, 0);
  EXPECT_TRUE(summary.subject.empty() && summary.senderName.empty() &&
              summary.senderAddress.empty());
}

TEST(MailSummaryTest, MadeFromMessageAndMark) {
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  CMailMessage message;
  message.Parse(
      "Received: by x; Mon, 3 Jun 2024 15:00:00 +0000\r\nSubject: hello\r\n"
      "From: \"Taro\" <taro@example.jp>\r\n\r\nbody\r\n.\r\n");
  message.mark.SetClassification(VerdictOther, ReasonNone);
  MailSummary summary;
  summary.subject = "stale";
  MakeSummary(message, summary);
  EXPECT_EQ(summary.verdict, -1);
  EXPECT_EQ(summary.reason, 0u);
  EXPECT_EQ(summary.subject, "hello");
  EXPECT_EQ(summary.senderName, "Taro");
  EXPECT_EQ(summary.senderAddress, "taro@example.jp");
  EXPECT_EQ(summary.received, 1717426800);

  CMailMessage undated;
  undated.Parse("From: a@b\r\n\r\n.\r\n");
  MakeSummary(undated, summary);
  EXPECT_EQ(summary.received, 0);
  EXPECT_EQ(summary.verdict, VerdictUnclassified);
  EXPECT_EQ(summary.senderName, "");
  EXPECT_EQ(summary.senderAddress, "a@b");
}

}  // namespace
}  // namespace qm
