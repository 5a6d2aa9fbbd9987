// Runs qm_mailfilter's command line in-process on a scratch working directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/report.h"

namespace qm::test {

// Command arguments on one line, for the names under which table cases are listed.
inline std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    if (!text.empty()) text += ' ';
    for (const char c : word) text += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
  }
  return text;
}

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    previous = std::filesystem::current_path();
    std::random_device random;
    dir = std::filesystem::temp_directory_path() / ("qm_command_" + std::to_string(random()));
    std::filesystem::create_directories(dir);
    // Mailboxes that a test builds in-process lie where the commands look for them.
    std::filesystem::current_path(dir);
  }
  void TearDown() override {
    std::filesystem::current_path(previous);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  // Runs `qm_mailfilter --workdir DIR args...`; its standard output and error land in out/err.
  int Run(const std::vector<std::string>& args) {
    std::vector<std::string> words{"qm_mailfilter", "--workdir", dir.string()};
    words.insert(words.end(), args.begin(), args.end());
    return RunWords(words);
  }
  // Runs the command line `words`, the program name first.
  int RunWords(const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    for (const std::string& word : words) argv.push_back(word.c_str());
    std::ostringstream outStream;
    std::ostringstream errStream;
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

  std::string File(const std::string& name) const { return (dir / name).string(); }
  std::string ReadAll(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void WriteAll(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << bytes;
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir / name); }

  // Every file of the directory with its bytes, to show that a refused command changed nothing.
  std::vector<std::pair<std::string, std::string>> Snapshot() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name != "qm_mailfilter.log" && name != "qm_mailfilter.lock") {
        files.emplace_back(name, entry.is_directory() ? "(directory)" : ReadAll(name));
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  std::filesystem::path previous;
  std::filesystem::path dir;
  std::string out;
  std::string err;
};

}  // namespace qm::test
