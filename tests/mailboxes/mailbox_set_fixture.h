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
  // Appends an unclassified mail with this subject, from `sender` when one is given.
  static void Add(CMailbox& mailbox, const std::string& subject, const std::string& sender = {}) {
    CMailMessage message;
    message.Parse((sender.empty() ? "" : "From: " + sender + "\r\n") + "Subject: " + subject +
                  "\r\n\r\nbody\r\n.\r\n");
    message.mark.SetClassification(VerdictUnclassified, 0);
    ASSERT_GT(mailbox.AppendMessage(message), 0);
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
