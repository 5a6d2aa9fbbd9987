// Runs the test in a scratch directory (where mailbox sets keep their files), with helpers.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set.h"
#include "platform/profile.h"
#include "support/file_bytes.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm::test {

class MailboxSetTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::current_path(dir.Path()), SetReporter(&reporter); }
  void TearDown() override { SetReporter(nullptr), std::filesystem::current_path(previous); }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }
  static std::string ReadAll(const std::string& path) { return ReadFileBytes(path); }
  static void WriteAll(const std::string& path, const std::string& bytes) {
    WriteFileBytes(path, bytes);
  }
  static CMailMessage Message(const std::string& subject, const std::string& uidl = {},
                              int verdict = VerdictUnclassified) {
    CMailMessage message;
    message.Parse("Subject: " + subject + "\r\nMessage-ID: <" + subject +
                  "@example.org>\r\n\r\nbody\r\n.\r\n");
    message.mark.uidl = uidl;
    message.mark.SetClassification(verdict, 0);
    return message;
  }
  // Stores a message as retrieval leaves it: appended, and its server copy known to the client.
  static void Store(CMailbox& mailbox, const std::string& subject, const std::string& uidl,
                    int verdict) {
    CMailMessage message = Message(subject, uidl, verdict);
    ASSERT_GT(mailbox.AppendMessage(message), 0);
    if (!uidl.empty()) mailbox.Client().RegisterKnown(uidl, "<" + subject + "@example.org>");
  }
  std::unique_ptr<CMailboxSet> Set(const std::vector<std::string>& names) {
    auto set = std::make_unique<CMailboxSet>(profile);
    for (const std::string& name : names) EXPECT_GE(set->Add(name), 0) << name;
    return set;
  }
  std::string ListValue() const {
    return profile.GetString(CMailboxSet::kListSection, CMailboxSet::kListKey, "(missing)");
  }

  const std::filesystem::path previous = std::filesystem::current_path();
  ScratchDirectory dir;
  RecordingReporter reporter;
  CProfile profile{"qm_mailfilter.ini"};
};

}  // namespace qm::test
