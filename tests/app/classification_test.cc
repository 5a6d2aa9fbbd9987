// The program-wide classification objects as the application uses them.
#include "app/classification.h"

#include <gtest/gtest.h>

#include "message/mail_message.h"
#include "platform/socket.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

// A blocklist that cannot be asked is reported once a new failure, not at every retrieval and
// not never.
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
  CProfile& profile = settings.Profile();
  ASSERT_TRUE(
      profile.WriteString("RBL", "DnsServers", ("127.0.0.1:" + std::to_string(port)).c_str()));
  ASSERT_TRUE(profile.WriteString("RBL", "DnsTimeout", "1"));
  // An absent answer list keeps its default, an empty one clears it.
  ASSERT_TRUE(profile.WriteString("RBL", "Ignore1", ""));
  ASSERT_TRUE(profile.WriteString("RBL", "Ignore2", " 127.0.0.5 ,127.0.0.6"));
  const BlocklistSettings read = CClassification::ReadBlocklistSettings(settings);
  EXPECT_EQ(read.ignored[0], BlocklistSettings{}.ignored[0]);
  EXPECT_TRUE(read.ignored[1].empty());
  EXPECT_EQ(read.ignored[2], (std::vector<std::string>{"127.0.0.5", "127.0.0.6"}));
  CClassification classification(settings);
  classification.Load(directory.Path(), settings);
  EXPECT_EQ(classification.NewBlocklistTrouble(), "");
  for (const char* sender : {"a@sender.example", "b@other.example"}) {
    CMailMessage message;
    message.Parse(std::string("From: ") + sender +
                  "\r\nSubject: s\r\n\r\nsee http://link.example/" + sender + "\r\n.\r\n");
    classification.Classifier().Classify(message);
    const std::string trouble = classification.NewBlocklistTrouble();
    EXPECT_EQ(trouble.rfind("ブロックリスト .multi.surbl.org が使えません ( ", 0), 0u) << trouble;
    EXPECT_EQ(classification.NewBlocklistTrouble(), "");
  }
  SetReporter(nullptr);
}

}  // namespace
}  // namespace qm
