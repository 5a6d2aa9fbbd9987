#include "app/classification.h"

#include <gtest/gtest.h>

#include "message/mail_message.h"
#include "platform/socket.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

// A blocklist that cannot be asked is reported once a new failure, not at every retrieval and
// not never. An absent answer list keeps its default, an empty one clears it.
TEST(ClassificationTest, AFailingBlocklistIsReportedOncePerNewFailure) {
  test::RecordingReporter reporter;
  SetReporter(&reporter);
  ScratchDirectory directory;
  CTcpListener listener;  // a name server that refuses at once: nothing listens on its port
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  const std::string server = "127.0.0.1:" + std::to_string(listener.Port());
  listener = CTcpListener();
  CSettings settings(directory.Path());
  for (const auto& [key, value] : {std::pair{"DnsServers", server.c_str()},
                                   {"DnsTimeout", "1"},
                                   {"Ignore1", ""},
                                   {"Ignore2", " 127.0.0.5 ,127.0.0.6"}})
    ASSERT_TRUE(settings.Profile().WriteString("RBL", key, value));
  const BlocklistSettings read = CClassification::ReadBlocklistSettings(settings);
  EXPECT_TRUE(read.ignored[0] == BlocklistSettings{}.ignored[0] && read.ignored[1].empty());
  EXPECT_EQ(read.ignored[2], (std::vector<std::string>{"127.0.0.5", "127.0.0.6"}));
  CClassification classification(settings);
  classification.Load(directory.Path(), settings);
  EXPECT_EQ(classification.NewBlocklistTrouble(), "");
  for (const std::string sender : {"a@sender.example", "b@other.example"}) {
    CMailMessage message;
    message.Parse("From: " + sender + "\r\nSubject: s\r\n\r\nsee http://link.example/" + sender +
                  "\r\n.\r\n");
    classification.Classifier().Classify(message);
    const std::string trouble = classification.NewBlocklistTrouble();
    EXPECT_EQ(trouble.rfind("ブロックリスト .multi.surbl.org が使えません ( ", 0), 0u) << trouble;
    EXPECT_EQ(classification.NewBlocklistTrouble(), "");
  }
  SetReporter(nullptr);
}

}  // namespace
}  // namespace qm
