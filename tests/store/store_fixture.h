// A scratch directory, a recording reporter and stored-message helpers for mailbox tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "store/mailbox.h"
#include "support/file_bytes.h"
#include "support/recording_reporter.h"
#include "support/scratch_directory.h"

namespace qm::test {

class StoreTest : public ::testing::Test {
 public:
  void SetUp() override { SetReporter(&reporter); }
  void TearDown() override { SetReporter(nullptr); }
  std::string Path(const std::string& name) const { return dir.File(name); }
  std::string Read(const std::string& name) const { return ReadFileBytes(Path(name)); }
  void Write(const std::string& name, const std::string& bytes) const {
    WriteFileBytes(Path(name), bytes);
  }
  std::unique_ptr<CMailbox> Load(const std::string& name) const {
    auto box = CMailbox::CreateMain(Path(name));
    EXPECT_EQ(box->Load(), 1) << name;
    return box;
  }
  static std::string Text(const std::string& subject, const std::string& body = "body") {
    return "Subject: " + subject + "\r\n\r\n" + body + "\r\n.\r\n";
  }
  static CMailMessage Message(const std::string& text, const std::string& uidl = {},
                              int verdict = 3, unsigned reason = 0) {
    CMailMessage message;
    message.Parse(text);
    message.mark.uidl = uidl;
    message.mark.SetClassification(verdict, reason);
    return message;
  }
  ScratchDirectory dir;
  RecordingReporter reporter;
};

}  // namespace qm::test
