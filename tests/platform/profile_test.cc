// The settings file, read and changed line by line as Windows does it.
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/file_io.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

TEST(ProfileTest, ReadsAsWindowsDoes) {
  const struct {
    const char *file, *section, *key, *value;  // value nullptr: the default comes back
  } kCases[] = {
      {"[mAIL]\r\nsErVeR=x\r\n", "Mail", "SERVER", "x"},
      {"[a]\nk=1\nj=2", "A", "j", "2"},
      {"  [ Mail ]  \r\n\t Server \t=  a b \t\r\n", "Mail", "Server", "a b"},
      {"[s]\r\nk= \" a b \" \r\n", "s", "k", " a b "},
      {"[s]\r\nk='x'\r\n", "s", "k", "x"},
      {"[s]\r\nk=\"x'\r\n", "s", "k", "\"x'"},
      {"[s]\r\nk=\"\r\n", "s", "k", "\""},
      {"[s]\r\nk=a \"b\" c\r\n", "s", "k", "a \"b\" c"},
      {"[s]\r\nk=a=b\r\n", "s", "k", "a=b"},
      {"\xEF\xBB\xBF[s] ; the section\r\nk=v\r\n", "s", "k", "v"},
      {"[s]\r\nk=1\r\nK=2\r\n[t]\r\n[S]\r\nk=3\r\n", "s", "k", "1"},
      {"k=1\r\n[s]\r\n[t]\r\nk=1\r\n", "s", "k", nullptr},
      {"[s]\r\n;k=1\r\nj\r\n", "s", ";k", nullptr},
      {"[s]\r\n;k=1\r\nj\r\n", "s", "j", nullptr},
      {"[s\r\nk=1\r\n", "s", "k", nullptr},
  };
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  for (const auto& c : kCases) {
    WriteFileBytes(profile.Path(), c.file);
    EXPECT_EQ(profile.GetString(c.section, c.key, "<default>"), c.value ? c.value : "<default>")
        << c.file;
  }
  // Numbers wrap as Windows's do (its own tests record them).
  for (auto [value, number] : {std::pair{"", -7},
                               {"\"\"", -7},
                               {"  25  ", 25},
                               {"+1", 1},
                               {"\"15\"", 15},
                               {"42A94967297", 42},
                               {"yes", 0},
                               {"- 5", 0},
                               {"0x10", 0},
                               {"3.9", 3},
                               {"2147483648", -2147483647 - 1},
                               {"4294967297", 1},
                               {"-4294967297", -1}}) {
    WriteFileBytes(profile.Path(), std::string("[s]\r\nk=") + value + "\r\n");
    EXPECT_EQ(profile.GetInt("s", "k", -7), number) << value;
  }
}

TEST(ProfileTest, ChangesOnlyTheLineConcerned) {
  const struct {
    const char *before, *section, *key, *value, *after;  // value nullptr: remove the key
  } kCases[] = {
      {nullptr, "Mail", "Server", "pop.example.jp", "[Mail]\r\nServer=pop.example.jp\r\n"},
      {"; c\r\n[S]\r\n  Key \t= old  \r\nz=1\r\n", "s", "KEY", "v",
       "; c\r\n[S]\r\n  Key=v\r\nz=1\r\n"},
      {"[s]\r\na=1\nb=2\r\nc=3", "s", "b", "x", "[s]\r\na=1\nb=x\r\nc=3"},
      {"[s]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k", "3", "[s]\r\nk=3\r\n[s]\r\nk=2\r\n"},
      {"[a]\nx=1\n; b holds the accounts\n[b]\n", "a", "n", "v",
       "[a]\nx=1\nn=v\n; b holds the accounts\n[b]\n"},
      {"[a]\r\n[b]\r\n", "A", "n", "v", "[a]\r\nn=v\r\n[b]\r\n"},
      {"[a]\r\nx=1", "a", "n", "v", "[a]\r\nx=1\r\nn=v"},
      {"; settings\n[a]\nx=1", "b", "n", "v", "; settings\n[a]\nx=1\n[b]\nn=v\n"},
      {"\xEF\xBB\xBF[a]\r\nx=1\r\n", "a", "x", "", "\xEF\xBB\xBF[a]\r\nx=\r\n"},
      // The second copy would come to light if only the first went.
      {"[a]\r\nx=1\r\ny=2\r\nX=3\r\n[b]\r\nx=4\r\n", "a", "x", nullptr,
       "[a]\r\ny=2\r\n[b]\r\nx=4\r\n"},
      {"[a]\r\ny=2\r\nx=1", "a", "x", nullptr, "[a]\r\ny=2\r\n"},
      {nullptr, "a", "x", nullptr, nullptr}};
  for (const auto& c : kCases) {
    ScratchDirectory dir;
    const std::string path = dir.File("qm.ini");
    if (c.before) WriteFileBytes(path, c.before);
    CProfile profile(path);
    ASSERT_TRUE(profile.WriteString(c.section, c.key, c.value));
    EXPECT_EQ(FileExists(path) ? ReadFileBytes(path) : "<none>", c.after ? c.after : "<none>");
    EXPECT_EQ(profile.GetString(c.section, c.key, "<default>"), c.value ? c.value : "<default>");
    EXPECT_FALSE(FileExists(path + ".new"));
  }
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  ASSERT_TRUE(profile.WriteInt("Window", "Left", -12) && profile.WriteInt("Window", "Top", 7));
  ASSERT_TRUE(profile.RemoveKey("Window", "Left"));
  EXPECT_EQ(ReadFileBytes(profile.Path()), "[Window]\r\nTop=7\r\n");
  CProfile other(profile.Path());  // another writer of the same file is seen at once
  ASSERT_TRUE(other.WriteInt("window", "top", 5));
  EXPECT_EQ(profile.GetInt("Window", "Top", 3), 5);
}

// Names or values that would add lines, keys or sections are refused; a failed write and an
// unreadable file keep what is there.
TEST(ProfileTest, RefusalsKeepTheFile) {
  ScratchDirectory dir;
  const std::string path = dir.File("qm.ini");
  const std::string before = "[s]\r\nk=1\r\n";
  WriteFileBytes(path, before);
  CProfile profile(path);
  for (auto [section, key, value] : {std::tuple{"s", "k", "1\r\n[admin]\r\nk=2"},
                                     {"s", "k", "a\nb"},
                                     {"s", "k", "a\rb"},
                                     {"s", "a=b", "1"},
                                     {"s", "[t]", "1"},
                                     {"s", ";k", "1"},
                                     {"s", "", "1"},
                                     {"s", " k", "1"},
                                     {"s", "k\t", "1"},
                                     {"a]b", "k", "1"},
                                     {"a\r\nb", "k", "1"},
                                     {" s", "k", "1"}}) {
    EXPECT_FALSE(profile.WriteString(section, key, value)) << section << "/" << key << "/" << value;
  }
  EXPECT_FALSE(profile.RemoveKey("s", "k="));
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Write; });
  EXPECT_FALSE(profile.WriteString("s", "k", "2"));
  SetFileFaultInjector(nullptr);
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_FALSE(FileExists(path + ".new"));

  // A directory where the file should be: defaults, and never overwritten.
  const std::string unreadable = dir.File("dir.ini");
  std::filesystem::create_directories(unreadable + "/keep");
  CProfile odd(unreadable);
  EXPECT_EQ(odd.GetString("s", "k", "d"), "d");
  EXPECT_FALSE(odd.WriteString("s", "k", "v"));
  EXPECT_TRUE(std::filesystem::is_directory(unreadable + "/keep"));
}

}  // namespace
}  // namespace qm
