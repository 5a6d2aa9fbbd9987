// Runs qm_mailfilter's command line in-process on a scratch working directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/report.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm::test {

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    // Mailboxes that a test builds in-process lie where the commands look for them.
    std::filesystem::current_path(dir.Path());
  }
  void TearDown() override { std::filesystem::current_path(previous); }

  // Runs `qm_mailfilter --workdir DIR args...`, or with `words` the command line as given;
  // its standard output and error land in out/err.
  int Run(std::vector<std::string> args, std::vector<std::string> words = {}) {
    if (words.empty()) words = {"qm_mailfilter", "--workdir", dir.Path()};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    std::ostringstream outStream, errStream;
    const int status =
        RunCommandLine(static_cast<int>(argv.size()), argv.data(), outStream, errStream);
    out = outStream.str();
    err = errStream.str();
    // A command leaves no reporter behind pointing at its finished session.
    EXPECT_EQ(CurrentReporter(), nullptr);
    return status;
  }
  // Runs a command that must succeed.
  void Ok(const std::vector<std::string>& args) {
    ASSERT_EQ(Run(args), 0) << err;
    EXPECT_EQ(err, "");
  }
  std::string File(const std::string& name) const { return dir.File(name); }

  // Every file of the directory with its bytes, to show that a refused command changed nothing.
  std::vector<std::pair<std::string, std::string>> Snapshot() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
      const std::string name = entry.path().filename().string();
      if (name != "qm_mailfilter.log" && name != "qm_mailfilter.lock") {
        files.emplace_back(name, entry.is_directory() ? "(directory)" : ReadFileBytes(File(name)));
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  // Runs a command that must be refused with `message` and change nothing.
  void Refused(const std::vector<std::string>& args, const std::string& message) {
    const auto before = Snapshot();
    EXPECT_EQ(Run(args), 1);
    EXPECT_NE(err.find(message), std::string::npos) << err;
    EXPECT_EQ(Snapshot(), before);
  }

  std::filesystem::path previous = std::filesystem::current_path();
  ScratchDirectory dir;
  std::string out;
  std::string err;
};

}  // namespace qm::test
