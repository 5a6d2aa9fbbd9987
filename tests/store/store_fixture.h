// A scratch working directory and a recording reporter for mailbox tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "message/mail_message.h"
#include "platform/report.h"
#include "support/file_bytes.h"
#include "support/recording_reporter.h"

namespace qm::test {

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          ("qm_store_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    SetReporter(&reporter);
  }
  void TearDown() override {
    SetReporter(nullptr);
    std::filesystem::remove_all(dir);
  }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  static std::string ReadAll(const std::string& path) { return ReadFileBytes(path); }
  static void WriteAll(const std::string& path, const std::string& bytes) {
    WriteFileBytes(path, bytes);
  }

  // A stored message text with the given subject and body lines.
  static std::string Text(const std::string& subject, const std::string& extraHeader = {},
                          const std::string& body = "body") {
    return "Subject: " + subject + "\r\n" + extraHeader + "\r\n" + body + "\r\n.\r\n";
  }
  static CMailMessage Message(const std::string& text, const std::string& uidl = {},
                              int verdict = 3, unsigned reason = 0) {
    CMailMessage message;
    message.Parse(text);
    message.mark.uidl = uidl;
    message.mark.SetClassification(verdict, reason);
    return message;
  }

  std::filesystem::path dir;
  RecordingReporter reporter;
};

}  // namespace qm::test
