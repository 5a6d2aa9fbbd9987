#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>

#include "app/classification.h"
#include "app/log.h"
#include "mailboxes/mailbox_set_fixture.h"
#include "message/mail_message.h"
#include "platform/socket.h"
#include "support/file_bytes.h"
#include "support/scoped_time_zone.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

const std::string kStamp = "2009 Mar 05 14:03:27\t";
std::int64_t Clock() { return 1236261807; }

// A peer's text with control bytes cannot start a line or a column of its own; UTF-8 stays.
// Lines are stamped in local time and appended only by a flush; those a write failed to add (as on
// a full disk) are kept, the part written undone, and reach the file (its owner's alone) once. A
// log past 512 KiB becomes the old log before the next lines; a flush of nothing touches no file.
TEST(LogTest, LinesAreStampedEscapedKeptThroughFailedWritesAndRotatedPastTheLimit) {
  test::ScopedTimeZone zone{"UTC"};
  ScratchDirectory dir;
  namespace fs = std::filesystem;
  const std::string file = dir.File(CLog::kFileName), old = dir.File(CLog::kOldFileName),
                    big = "POP : " + std::string(2000, 'x');
  {
    CLog log(dir.Path(), Clock);
    log.Log("POP : Connection Closed.");
    log.Log(std::string("MSV : id a\r\n2009 Mar 05 forged\tx\x1b[2J\x7f\0z \xE5\x8F\x97", 43));
    EXPECT_FALSE(fs::exists(file));
    ASSERT_TRUE(log.FlushLog() && log.FlushLog());
    log.Log(big);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit lowered{1100, saved.rlim_max};
    const auto handler = std::signal(SIGXFSZ, SIG_IGN);  // so that the write fails instead
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lowered), 0);
    const bool flushed = log.FlushLog() || (log.Log("two"), log.FlushLog());
    setrlimit(RLIMIT_FSIZE, &saved), std::signal(SIGXFSZ, handler);
    const std::string written = kStamp + "POP : Connection Closed.\r\n" + kStamp +
                                "MSV : id a\\x0D\\x0A2009 Mar 05 forged\\x09x\\x1B[2J\\x7F\\x00z "
                                "\xE5\x8F\x97\r\n";
    EXPECT_FALSE(flushed || test::ReadFileBytes(file) != written);
    test::ScopedTimeZone tokyo("Asia/Tokyo");
    log.Log("SRV : x");
    ASSERT_TRUE(log.FlushLog());
    EXPECT_EQ(test::ReadFileBytes(file), written + kStamp + big + "\r\n" + kStamp +
                                             "two\r\n2009 Mar 05 23:03:27\tSRV : x\r\n");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  }
  for (const std::size_t size : {524288, 524289}) {
    const std::string existing(size, 'e');
    test::WriteFileBytes(file, existing), test::WriteFileBytes(old, "old\r\n");
    CLog log(dir.Path(), Clock);
    EXPECT_TRUE(log.FlushLog() && test::ReadFileBytes(file) == existing);
    log.Log("POP : next");
    EXPECT_TRUE(log.FlushLog() && test::ReadFileBytes(file) + test::ReadFileBytes(old) ==
                                      (size > 524288 ? "" : existing) + kStamp + "POP : next\r\n" +
                                          (size > 524288 ? existing : "old\r\n"))
        << size;
  }
}

// A blocklist that cannot be asked is reported once a new failure, not at every retrieval and
// not never. An absent answer list keeps its default, an empty one clears it.
using ClassificationTest = test::MailboxSetTest;

TEST_F(ClassificationTest, AFailingBlocklistIsReportedOncePerNewFailure) {
  CTcpListener listener;  // a name server that refuses at once: nothing listens on its port
  ASSERT_EQ(listener.Listen("127.0.0.1", 0, 1), ListenResult::Listening);
  const std::string server = "127.0.0.1:" + std::to_string(listener.Port());
  listener = CTcpListener();
  CSettings settings(dir.Path());
  for (const auto& [key, value] : {std::pair{"DnsServers", server.c_str()},
                                   {"DnsTimeout", "1"},
                                   {"Ignore1", ""},
                                   {"Ignore2", " 127.0.0.5 ,127.0.0.6"}})
    ASSERT_TRUE(settings.Profile().WriteString("RBL", key, value));
  const BlocklistSettings read = CClassification::ReadBlocklistSettings(settings);
  EXPECT_TRUE(read.ignored[0] == BlocklistSettings{}.ignored[0] && read.ignored[1].empty());
  EXPECT_EQ(read.ignored[2], (std::vector<std::string>{"127.0.0.5", "127.0.0.6"}));
  CClassification classification(settings);
  classification.Load(dir.Path(), settings);
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
}

}  // namespace
}  // namespace qm
