#include "cli/inspect.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  std::string Write(const std::string& name, const std::string& content) {
    test::WriteFileBytes(dir.File(name), content);
    return dir.File(name);
  }
  // The output lines; the status and the error text are checked by the caller.
  std::vector<std::string> Run(const std::vector<std::string>& files, InputForm form,
                               int expectedStatus) {
    std::ostringstream out, err;
    EXPECT_EQ(RunInspect(files, form, out, err), expectedStatus);
    errors = err.str();
    std::vector<std::string> lines;
    std::istringstream text(out.str());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  ScratchDirectory dir;
  std::string errors;
};

const char kMessage[] =
    "Received: from relay ([192.0.2.1]) by mx; Mon, 3 Jun 2024 15:00:00 +0000\n"
    "Subject: =?ISO-2022-JP?B?GyRCJCIbKEI=?= news\n"
    "From: \"Taro\" <taro@example.jp>\n"
    "\n"
    "Visit http://a.example/\n"
    ".hidden dot line\n";

// One line of JSON per file with its keys in the documented order; the body as stored, the
// part's size in the bytes as sent, without the stuffed dot.
TEST_F(InspectTest, OneRecordPerFileInTheDocumentedForm) {
  const std::string file = Write("m.eml", kMessage);
  const std::vector<std::string> lines = Run({file}, InputForm::Plain, 0);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(
      lines[0],
      "{\"file\":\"" + file +
          "\",\"headerLength\":154,\"fields\":[[\"Received\",\"from relay "
          "([192.0.2.1]) by mx; Mon, 3 Jun 2024 15:00:00 +0000\"],[\"Subject\",\"=?ISO-2022-JP?B?"
          "GyRCJCIbKEI=?= news\"],[\"From\",\"\\\"Taro\\\" <taro@example.jp>\"]],\"subject\":\""
          "\xE3\x81\x82 news\",\"from\":\"\\\"Taro\\\" <taro@example.jp>\",\"senderName\":\"Taro\","
          "\"senderAddress\":\"taro@example.jp\",\"displaySender\":\"Taro\",\"received\":"
          "1717459200,\"date\":\"2024 06/04 00:00:00\",\"relays\":[\"1.2.0.192\"],\"urlHosts\":["
          "\"a.example\"],\"body\":\"Visit http://a.example/\\r\\n..hidden dot "
          "line\\r\\n\",\"text\""
          ":\"Visit http://a.example/\\r\\n..hidden dot line\\r\\n\",\"parts\":[{\"type\":\"text/"
          "plain\",\"charset\":\"\",\"encoding\":\"\",\"size\":43,\"fileName\":\"\",\"attachment\":"
          "false,\"depth\":0}]}");
  // The stored form read with --raw gives the same record.
  const std::string raw = Write("raw.eml",
                                "Received: from relay ([192.0.2.1]) by mx; Mon, 3 Jun "
                                "2024 15:00:00 +0000\r\nSubject: =?ISO-2022-JP?B?GyRCJC"
                                "IbKEI=?= news\r\nFrom: \"Taro\" <taro@example.jp>\r\n\r"
                                "\nVisit http://a.example/\r\n..hidden dot line\r\n.\r\n");
  std::string stored = Run({raw}, InputForm::Stored, 0).at(0);
  EXPECT_EQ(stored.replace(9, raw.size(), file), lines[0]);
}

// The parts of the sample: sizes once the transfer encoding is undone.
TEST_F(InspectTest, PartsOfTheBase64HtmlAlternativeSample) {
  const auto lines = Run({QM_TEST_DATA "/base64_html_alternative_links.eml"}, InputForm::Plain, 0);
  EXPECT_NE(
      lines.at(0).find(
          "\"parts\":[{\"type\":\"text/plain\",\"charset\":\"utf-8\",\"encoding\":\"quoted-"
          "printable\",\"size\":55,\"fileName\":\"\",\"attachment\":false,\"depth\":1},{\"type\":"
          "\"text/html\",\"charset\":\"utf-8\",\"encoding\":\"base64\",\"size\":251,\"fileName\""
          ":\"\",\"attachment\":false,\"depth\":1}]}"),
      std::string::npos)
      << lines[0];
}

TEST_F(InspectTest, UnreadableFilesAreNamedAndTheOthersStillCome) {
  const std::string good = Write("good.eml", "Subject: ok\n\nbody\n");
  const std::string missing = dir.File("missing.eml");
  const auto lines = Run({good, missing, dir.Path(), Write("empty.eml", "")}, InputForm::Plain, 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("\"subject\":\"ok\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"headerLength\":0,\"fields\":[],\"subject\":\"\""), std::string::npos);
  EXPECT_NE(lines[1].find("\"received\":0,\"date\":\"\""), std::string::npos);
  EXPECT_NE(errors.find(missing), std::string::npos) << errors;
  EXPECT_NE(errors.find(dir.Path() + ":"), std::string::npos) << errors;
}

}  // namespace
}  // namespace qm
