// A scratch working directory that the test runs in, with a settings file and a recording
// reporter: mailbox sets keep their files in the current directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "mailboxes/mailbox_set.h"
#include "message/mail_message.h"
#include "platform/profile.h"
#include "platform/report.h"
#include "support/file_bytes.h"
#include "support/recording_reporter.h"

namespace qm::test {

class MailboxSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    previous = std::filesystem::current_path();
    dir = std::filesystem::temp_directory_path() / ("qm_mailboxes_" + std::to_string(random()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    SetReporter(&reporter);
  }
  void TearDown() override {
    SetReporter(nullptr);
    std::filesystem::current_path(previous);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  static std::string ReadAll(const std::string& path) { return ReadFileBytes(path); }
  static void WriteAll(const std::string& path, const std::string& bytes) {
    WriteFileBytes(path, bytes);
  }
  static bool Exists(const std::string& path) { return std::filesystem::exists(path); }

  // A stored message with this subject.
  static CMailMessage Message(const std::string& subject, const std::string& uidl = {},
                              int verdict = VerdictUnclassified) {
    CMailMessage message;
    message.Parse("Subject: " + subject + "\r\nMessage-ID: <" + subject + "@example.org>\r\n\r\n" +
                  "body\r\n.\r\n");
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

  std::vector<std::string> Names(const CMailboxSet& set) const {
    std::vector<std::string> names;
    for (int i = 0; i < set.Count(); ++i) names.push_back(set.Get(i)->Name());
    return names;
  }
  std::string ListValue() const {
    return profile.GetString(CMailboxSet::kListSection, CMailboxSet::kListKey, "(missing)");
  }

  std::filesystem::path previous;
  std::filesystem::path dir;
  RecordingReporter reporter;
  CProfile profile{"qm_mailfilter.ini"};
};

}  // namespace qm::test
