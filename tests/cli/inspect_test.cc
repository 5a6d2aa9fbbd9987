#include "cli/inspect.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qm {
namespace {

namespace fs = std::filesystem;

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("qm_inspect_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    setenv("TZ", "UTC", 1);
    tzset();
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& content) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  std::vector<nlohmann::json> Run(const std::vector<std::string>& files, InputForm form,
                                  int expectedStatus, std::string* errors = nullptr) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunInspect(files, form, out, err), expectedStatus);
    if (errors) *errors = err.str();
    std::vector<nlohmann::json> records;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
      records.push_back(nlohmann::json::parse(line));
    return records;
  }

  fs::path dir_;
};

const char kMessage[] =
    "Received: from relay ([192.0.2.1]) by mx; Mon, 3 Jun 2024 15:00:00 +0000\n"
    "Received: from [10.1.2.3] by relay\n"
    "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?= news\n"
    "From: \"Taro\" <taro@example.jp>\n"
    "\n"
    "Visit http://a.example/ or https://b.example:443/x\n"
    ".hidden dot line\n";

TEST_F(InspectTest, OneRecordWithEveryKeyInOrder) {
  const std::string file = Write("m.eml", kMessage);
  const auto records = Run({file}, InputForm::Plain, 0);
  ASSERT_EQ(records.size(), 1u);
  const nlohmann::json& r = records[0];
  std::vector<std::string> keys;
  for (auto it = r.begin(); it != r.end(); ++it) keys.push_back(it.key());
  // nlohmann::json sorts keys, so compare as a set here; the writer keeps the documented order.
  EXPECT_EQ(keys.size(), 15u);
  EXPECT_EQ(r["file"], file);
  EXPECT_EQ(r["fields"].size(), 4u);
  EXPECT_EQ(r["fields"][2], (nlohmann::json{"Subject", "=?ISO-2022-JP?B?GyRCJCIbKEI=?= news"}));
  EXPECT_EQ(r["subject"], "\xE3\x81\x82 news");
  EXPECT_EQ(r["senderName"], "Taro");
  EXPECT_EQ(r["senderAddress"], "taro@example.jp");
  EXPECT_EQ(r["displaySender"], "Taro");
  EXPECT_EQ(r["received"], 1717459200);
  EXPECT_EQ(r["date"], "2024 06/04 00:00:00");
  EXPECT_EQ(r["relays"], (nlohmann::json{"1.2.0.192", "3.2.1.10"}));
  EXPECT_EQ(r["urlHosts"], (nlohmann::json{"a.example", "b.example"}));
  // The body is read back unstuffed only by a mail client; here it is as stored.
  EXPECT_EQ(r["body"],
            "Visit http://a.example/ or https://b.example:443/x\r\n..hidden dot line\r\n");
  EXPECT_EQ(r["text"], r["body"]);
  // The part's size counts its bytes as sent, the stuffed dot not among them.
  EXPECT_EQ(r["parts"], nlohmann::json::parse(R"([{"type": "text/plain", "charset": "",
      "encoding": "", "size": 70, "fileName": "", "attachment": false, "depth": 0}])"));
}

TEST_F(InspectTest, PartsOfTheBase64HtmlAlternativeSample) {
  const auto records =
      Run({QM_TEST_DATA "/base64_html_alternative_links.eml"}, InputForm::Plain, 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["text"],
            "Confirm your account: https://plain.example/login \xE2\x86\x92\r\n");
  EXPECT_EQ(records[0]["parts"], nlohmann::json::parse(R"([
      {"type": "text/plain", "charset": "utf-8", "encoding": "quoted-printable", "size": 55,
       "fileName": "", "attachment": false, "depth": 1},
      {"type": "text/html", "charset": "utf-8", "encoding": "base64", "size": 251,
       "fileName": "", "attachment": false, "depth": 1}])"));
  EXPECT_EQ(records[0]["urlHosts"].size(), 6u);
}

TEST_F(InspectTest, OutputKeepsTheDocumentedKeyOrder) {
  std::ostringstream out;
  std::ostringstream err;
  ASSERT_EQ(RunInspect({Write("m.eml", kMessage)}, InputForm::Plain, out, err), 0);
  const std::string line = out.str();
  std::size_t last = 0;
  for (const char* key :
       {"file", "headerLength", "fields", "subject", "from", "senderName", "senderAddress",
        "displaySender", "received", "date", "relays", "urlHosts", "body", "text", "parts"}) {
    const std::size_t at = line.find(std::string("\"") + key + "\":");
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, last) << key;
    last = at;
  }
}

TEST_F(InspectTest, RawTakesStoredBytesAsTheyAre) {
  const std::string plain = Write("plain.eml", kMessage);
  std::string stored = kMessage;
  for (std::size_t at = 0; (at = stored.find('\n', at)) != std::string::npos; at += 2) {
    stored.replace(at, 1, "\r\n");
  }
  stored.replace(stored.find(".hidden"), 1, "..");
  stored += ".\r\n";
  const std::string raw = Write("raw.eml", stored);
  auto a = Run({plain}, InputForm::Plain, 0);
  auto b = Run({raw}, InputForm::Stored, 0);
  a[0].erase("file");
  b[0].erase("file");
  EXPECT_EQ(a[0], b[0]);
}

TEST_F(InspectTest, UnreadableFileIsNamedAndTheOthersStillCome) {
  const std::string good = Write("good.eml", "Subject: ok\n\nbody\n");
  const std::string missing = (dir_ / "missing.eml").string();
  std::string errors;
  const auto records = Run({good, missing, dir_.string(), good}, InputForm::Plain, 1, &errors);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["subject"], "ok");
  EXPECT_NE(errors.find(missing), std::string::npos) << errors;
  EXPECT_NE(errors.find(dir_.string() + ":"), std::string::npos) << errors;
}

TEST_F(InspectTest, UndeclaredTextInNeitherUtf8NorCodePage932BecomesReplacementCharacters) {
  const auto records =
      Run({Write("bad.eml", "Subject: a\xFF\x82\n\n\x82\x20\n")}, InputForm::Plain, 0);
  EXPECT_EQ(records[0]["subject"], "a\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(records[0]["body"], "\xEF\xBF\xBD \r\n");
}

TEST_F(InspectTest, EmptyFileHasNothing) {
  const auto records = Run({Write("empty.eml", "")}, InputForm::Plain, 0);
  EXPECT_EQ(records[0]["headerLength"], 0);
  EXPECT_EQ(records[0]["fields"].size(), 0u);
  EXPECT_EQ(records[0]["date"], "");
  EXPECT_EQ(records[0]["received"], 0);
  EXPECT_EQ(records[0]["body"], "");
}

}  // namespace
}  // namespace qm
