// The program-wide classification objects as the application uses them: a blocklist that cannot
// be asked is reported once, not at every retrieval and not never.
#include "app/classification.h"

#include <gtest/gtest.h>

#include "message/mail_message.h"
#include "platform/socket.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

TEST(ClassificationTest, AFailingBlocklistIsReportedOncePerNewFailure) {
  test::RecordingReporter reporter;
  SetReporter(&reporter);
  ScratchDirectory directory;
  // A name server that refuses at once: nothing listens on this loopback port.
  std::uint16_t port = 0;
  {
    CTcpListener listener;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
    port = listener.Port();
  }
  CSettings settings(directory.Path());
  ASSERT_TRUE(settings.Profile().WriteString("RBL", "DnsServers",
                                             ("127.0.0.1:" + std::to_string(port)).c_str()));
  ASSERT_TRUE(settings.Profile().WriteString("RBL", "DnsTimeout", "1"));
  CClassification classification(settings);
  classification.Load(directory.Path(), settings);
  EXPECT_EQ(classification.NewBlocklistTrouble(), "");

  CMailMessage message;
  message.Parse("From: a@sender.example\r\nSubject: s\r\n\r\nsee http://link.example/x\r\n.\r\n");
  classification.Classifier().Classify(message);
  const std::string trouble = classification.NewBlocklistTrouble();
  EXPECT_EQ(trouble.rfind("ブロックリスト .multi.surbl.org が使えません ( ", 0), 0u) << trouble;
  EXPECT_EQ(classification.NewBlocklistTrouble(), "");

  CMailMessage again;
  again.Parse("From: b@other.example\r\nSubject: s\r\n\r\nsee http://other.example/x\r\n.\r\n");
  classification.Classifier().Classify(again);
  EXPECT_NE(classification.NewBlocklistTrouble(), "");
  SetReporter(nullptr);
}

TEST(ClassificationTest, AbsentAnswerListsKeepTheirDefaultsAndEmptyOnesClearThem) {
  ScratchDirectory directory;
  CSettings settings(directory.Path());
  ASSERT_TRUE(settings.Profile().WriteString("RBL", "Ignore1", ""));
  ASSERT_TRUE(settings.Profile().WriteString("RBL", "Ignore2", " 127.0.0.5 ,127.0.0.6"));
  ASSERT_TRUE(settings.Profile().WriteString("RBL", "Refuse0", ""));
  const BlocklistSettings read = CClassification::ReadBlocklistSettings(settings);
  const BlocklistSettings defaults;
  EXPECT_EQ(read.ignored[0], defaults.ignored[0]);
  EXPECT_TRUE(read.ignored[1].empty());
  EXPECT_EQ(read.ignored[2], (std::vector<std::string>{"127.0.0.5", "127.0.0.6"}));
  EXPECT_EQ(read.refusals[0], defaults.refusals[0]);
}

}  // namespace
}  // namespace qm
