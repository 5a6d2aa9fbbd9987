#include "platform/profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/file_io.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

void WriteRaw(const std::string& path, const std::string& content) {
  test::WriteFileBytes(path, content);
}

std::string ReadRaw(const std::string& path) { return test::ReadFileBytes(path); }

constexpr const char* kDefault = "<default>";
constexpr int kDefaultInt = -7;

struct ReadCase {
  const char* name;
  const char* file;
  const char* section;
  const char* key;
  const char* value;  // nullptr: the default comes back
};

class ProfileReadTest : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileReadTest, ReadsAsWindowsDoes) {
  const ReadCase& c = GetParam();
  ScratchDirectory dir;
  WriteRaw(dir.File("qm.ini"), c.file);
  CProfile profile(dir.File("qm.ini"));
  EXPECT_EQ(profile.GetString(c.section, c.key, kDefault), c.value ? c.value : kDefault);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ProfileReadTest,
    ::testing::Values(
        ReadCase{"Plain", "[Mail]\r\nServer=pop.example.jp\r\n", "Mail", "Server",
                 "pop.example.jp"},
        ReadCase{"NamesIgnoreCase", "[mAIL]\r\nsErVeR=x\r\n", "Mail", "SERVER", "x"},
        ReadCase{"LfOnlyAndNoFinalLineEnd", "[a]\nk=1\nj=2", "A", "j", "2"},
        ReadCase{"BlanksAroundEverything", "  [ Mail ]  \r\n\t Server \t=  a b \t\r\n", "Mail",
                 "Server", "a b"},
        ReadCase{"DoubleQuotes", "[s]\r\nk= \" a b \" \r\n", "s", "k", " a b "},
        ReadCase{"SingleQuotes", "[s]\r\nk='x'\r\n", "s", "k", "x"},
        ReadCase{"UnmatchedQuotes", "[s]\r\nk=\"x'\r\n", "s", "k", "\"x'"},
        ReadCase{"LoneQuote", "[s]\r\nk=\"\r\n", "s", "k", "\""},
        ReadCase{"QuotesInside", "[s]\r\nk=a \"b\" c\r\n", "s", "k", "a \"b\" c"},
        ReadCase{"EmptyValue", "[s]\r\nk=\r\n", "s", "k", ""},
        ReadCase{"EqualsInValue", "[s]\r\nk=a=b\r\n", "s", "k", "a=b"},
        ReadCase{"Utf8Value", "[s]\r\nname=\xE5\xB1\xB1\xE7\x94\xB0\r\n", "s", "name",
                 "\xE5\xB1\xB1\xE7\x94\xB0"},
        ReadCase{"ByteOrderMark", "\xEF\xBB\xBF[s]\r\nk=v\r\n", "s", "k", "v"},
        ReadCase{"TextAfterHeader", "[s] ; the section\r\nk=v\r\n", "s", "k", "v"},
        ReadCase{"FirstSectionWins", "[s]\r\nk=1\r\n[t]\r\n[S]\r\nk=2\r\nj=3\r\n", "s", "k", "1"},
        ReadCase{"FirstKeyWins", "[s]\r\nk=1\r\nK=2\r\n", "s", "k", "1"},
        ReadCase{"MissingKey", "[s]\r\nk=1\r\n", "s", "j", nullptr},
        ReadCase{"MissingSection", "[s]\r\nk=1\r\n", "t", "k", nullptr},
        ReadCase{"KeyOfAnotherSection", "[s]\r\n[t]\r\nk=1\r\n", "s", "k", nullptr},
        ReadCase{"KeyBeforeAnySection", "k=1\r\n[s]\r\n", "s", "k", nullptr},
        ReadCase{"CommentIsNoKey", "[s]\r\n;k=1\r\n", "s", ";k", nullptr},
        ReadCase{"LineWithoutEqualsIsNoKey", "[s]\r\nk\r\n", "s", "k", nullptr},
        ReadCase{"HeaderWithoutBracketIsNoSection", "[s\r\nk=1\r\n", "s", "k", nullptr},
        ReadCase{"EmptyFile", "", "s", "k", nullptr}),
    [](const auto& test) { return std::string(test.param.name); });

struct IntCase {
  const char* name;
  const char* value;  // nullptr: no such key
  int expected;
};

class ProfileIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(ProfileIntTest, ParsesAsWindowsDoes) {
  const IntCase& c = GetParam();
  ScratchDirectory dir;
  WriteRaw(dir.File("qm.ini"),
           c.value ? std::string("[s]\r\nk=") + c.value + "\r\n" : std::string("[s]\r\n"));
  CProfile profile(dir.File("qm.ini"));
  EXPECT_EQ(profile.GetInt("s", "k", kDefaultInt), c.expected);
}

// The wrapping cases are what Windows returns (its own tests record them).
INSTANTIATE_TEST_SUITE_P(
    Numbers, ProfileIntTest,
    ::testing::Values(IntCase{"Missing", nullptr, kDefaultInt}, IntCase{"Empty", "", kDefaultInt},
                      IntCase{"EmptyQuotes", "\"\"", kDefaultInt}, IntCase{"Plain", "110", 110},
                      IntCase{"Blanks", "  25  ", 25}, IntCase{"Negative", "-1", -1},
                      IntCase{"Plus", "+1", 1}, IntCase{"Quoted", "\"15\"", 15},
                      IntCase{"TrailingText", "42A94967297", 42},
                      IntCase{"NoNumber", "B4294967297", 0}, IntCase{"Word", "yes", 0},
                      IntCase{"SignOnly", "-", 0}, IntCase{"BlankAfterSign", "- 5", 0},
                      IntCase{"HexIsNotRead", "0x10", 0}, IntCase{"Fraction", "3.9", 3},
                      IntCase{"LargestInt", "2147483647", 2147483647},
                      IntCase{"PastLargestWraps", "2147483648", -2147483647 - 1},
                      IntCase{"TwoToThe32", "4294967296", 0},
                      IntCase{"TwoToThe32PlusOne", "4294967297", 1},
                      IntCase{"MinusTwoToThe32MinusOne", "-4294967297", -1}),
    [](const auto& test) { return std::string(test.param.name); });

struct WriteCase {
  const char* name;
  const char* before;  // nullptr: no file yet
  const char* section;
  const char* key;
  const char* value;  // nullptr: remove the key
  const char* after;  // nullptr: still no file
};

class ProfileWriteTest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ProfileWriteTest, ChangesOnlyTheLineConcerned) {
  const WriteCase& c = GetParam();
  ScratchDirectory dir;
  const std::string path = dir.File("qm.ini");
  if (c.before) WriteRaw(path, c.before);
  CProfile profile(path);
  ASSERT_TRUE(profile.WriteString(c.section, c.key, c.value));
  if (c.after) {
    EXPECT_EQ(ReadRaw(path), c.after);
  } else {
    EXPECT_FALSE(FileExists(path));
  }
  EXPECT_EQ(profile.GetString(c.section, c.key, kDefault), c.value ? c.value : kDefault);
  EXPECT_FALSE(FileExists(path + ".new"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProfileWriteTest,
    ::testing::Values(
        WriteCase{"NewFile", nullptr, "Mail", "Server", "pop.example.jp",
                  "[Mail]\r\nServer=pop.example.jp\r\n"},
        WriteCase{"ReplaceValue", "[s]\r\nk=old\r\nz=1\r\n", "s", "k", "new",
                  "[s]\r\nk=new\r\nz=1\r\n"},
        WriteCase{"ReplaceKeepsTheSpellingInTheFile", "; c\r\n[S]\r\n  Key \t= old  \r\n", "s",
                  "KEY", "v", "; c\r\n[S]\r\n  Key=v\r\n"},
        WriteCase{"ReplaceKeepsEachLinesOwnEnd", "[s]\r\na=1\nb=2\r\nc=3", "s", "b", "x",
                  "[s]\r\na=1\nb=x\r\nc=3"},
        WriteCase{"ReplaceLastLineWithoutEnd", "[s]\nk=1", "s", "k", "22", "[s]\nk=22"},
        WriteCase{"ReplaceOnlyTheFirstSection", "[s]\r\nk=1\r\n[s]\r\nk=2\r\n", "s", "k", "3",
                  "[s]\r\nk=3\r\n[s]\r\nk=2\r\n"},
        WriteCase{"NewKeyEndsItsSection", "[a]\r\nx=1\r\n\r\n[b]\r\ny=2\r\n", "a", "n", "v",
                  "[a]\r\nx=1\r\nn=v\r\n\r\n[b]\r\ny=2\r\n"},
        WriteCase{"NewKeyGoesBeforeACommentOnTheNextSection",
                  "[a]\nx=1\n; b holds the accounts\n[b]\n", "a", "n", "v",
                  "[a]\nx=1\nn=v\n; b holds the accounts\n[b]\n"},
        WriteCase{"NewKeyInEmptySection", "[a]\r\n[b]\r\n", "A", "n", "v", "[a]\r\nn=v\r\n[b]\r\n"},
        WriteCase{"NewKeyAfterLastLineWithoutEnd", "[a]\r\nx=1", "a", "n", "v",
                  "[a]\r\nx=1\r\nn=v"},
        WriteCase{"NewKeyFollowsTheLineEndsOfTheFile", "[a]\nx=1\n", "a", "n", "v",
                  "[a]\nx=1\nn=v\n"},
        WriteCase{"NewSectionAtTheEnd", "; settings\n[a]\nx=1\n", "b", "n", "v",
                  "; settings\n[a]\nx=1\n[b]\nn=v\n"},
        WriteCase{"NewSectionAfterLastLineWithoutEnd", "[a]\r\nx=1", "b", "n", "v",
                  "[a]\r\nx=1\r\n[b]\r\nn=v\r\n"},
        WriteCase{"NewSectionInFileWithoutLineEnds", "; x", "b", "n", "v", "; x\r\n[b]\r\nn=v\r\n"},
        WriteCase{"ByteOrderMarkStays", "\xEF\xBB\xBF[a]\r\nx=1\r\n", "a", "x", "2",
                  "\xEF\xBB\xBF[a]\r\nx=2\r\n"},
        WriteCase{"EmptyValue", "[a]\r\nx=1\r\n", "a", "x", "", "[a]\r\nx=\r\n"},
        WriteCase{"Utf8Value", nullptr, "a", "x", "\xE6\x97\xA5", "[a]\r\nx=\xE6\x97\xA5\r\n"},
        WriteCase{"RemoveKey", "[a]\r\nx=1\r\ny=2\r\n", "a", "x", nullptr, "[a]\r\ny=2\r\n"},
        // The second copy would come to light if only the first went.
        WriteCase{"RemoveEveryCopyInTheSection", "[a]\r\nx=1\r\ny=2\r\nX=3\r\n[b]\r\nx=4\r\n", "a",
                  "x", nullptr, "[a]\r\ny=2\r\n[b]\r\nx=4\r\n"},
        WriteCase{"RemoveLastLineWithoutEnd", "[a]\r\ny=2\r\nx=1", "a", "x", nullptr,
                  "[a]\r\ny=2\r\n"},
        WriteCase{"RemoveMissingKey", "[a]\r\ny=2\r\n", "a", "x", nullptr, "[a]\r\ny=2\r\n"},
        WriteCase{"RemoveFromMissingFile", nullptr, "a", "x", nullptr, nullptr}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ProfileTest, WriteIntAndRemoveKey) {
  ScratchDirectory dir;
  CProfile profile(dir.File("qm.ini"));
  ASSERT_TRUE(profile.WriteInt("Window", "Left", -12));
  ASSERT_TRUE(profile.WriteInt("Window", "Top", 2147483647));
  EXPECT_EQ(ReadRaw(profile.Path()), "[Window]\r\nLeft=-12\r\nTop=2147483647\r\n");
  EXPECT_EQ(profile.GetInt("window", "left", 0), -12);
  ASSERT_TRUE(profile.RemoveKey("Window", "Left"));
  EXPECT_EQ(profile.GetInt("Window", "Left", 5), 5);
  EXPECT_EQ(ReadRaw(profile.Path()), "[Window]\r\nTop=2147483647\r\n");
}

// Names or values that would add lines, keys or sections to the file are refused, and the
// file stays as it was.
TEST(ProfileTest, RefusesWhatWouldChangeTheStructureOfTheFile) {
  ScratchDirectory dir;
  const std::string path = dir.File("qm.ini");
  const std::string before = "[s]\r\nk=1\r\n";
  WriteRaw(path, before);
  CProfile profile(path);
  struct Bad {
    const char* section;
    const char* key;
    const char* value;
  };
  for (const Bad& bad :
       {Bad{"s", "k", "1\r\n[admin]\r\nk=2"}, Bad{"s", "k", "a\nb"}, Bad{"s", "k", "a\rb"},
        Bad{"s", "a=b", "1"}, Bad{"s", "[t]", "1"}, Bad{"s", ";k", "1"}, Bad{"s", "", "1"},
        Bad{"s", " k", "1"}, Bad{"s", "k\t", "1"}, Bad{"s", "k\n", "1"}, Bad{"a]b", "k", "1"},
        Bad{"a\r\nb", "k", "1"}, Bad{" s", "k", "1"}}) {
    EXPECT_FALSE(profile.WriteString(bad.section, bad.key, bad.value))
        << bad.section << "/" << bad.key << "/" << bad.value;
  }
  EXPECT_FALSE(profile.RemoveKey("s", "k="));
  EXPECT_EQ(ReadRaw(path), before);
}

TEST(ProfileTest, ReadsTheFileAsItIsNow) {
  ScratchDirectory dir;
  const std::string path = dir.File("qm.ini");
  CProfile profile(path);
  EXPECT_EQ(profile.GetInt("s", "k", 3), 3);
  WriteRaw(path, "[s]\r\nk=4\r\n");
  EXPECT_EQ(profile.GetInt("s", "k", 3), 4);
  // Another writer of the same file is seen too.
  CProfile other(path);
  ASSERT_TRUE(other.WriteInt("s", "k", 5));
  EXPECT_EQ(profile.GetInt("s", "k", 3), 5);
}

TEST(ProfileTest, AnUnreadableFileGivesDefaultsAndIsNeverOverwritten) {
  ScratchDirectory dir;
  // A directory where the file should be: it exists but cannot be read as one.
  const std::string path = dir.File("qm.ini");
  std::filesystem::create_directory(path);
  std::filesystem::create_directory(path + "/keep");
  CProfile profile(path);
  EXPECT_EQ(profile.GetString("s", "k", "d"), "d");
  EXPECT_EQ(profile.GetInt("s", "k", 9), 9);
  EXPECT_FALSE(profile.WriteString("s", "k", "v"));
  EXPECT_TRUE(std::filesystem::is_directory(path + "/keep"));
}

TEST(ProfileTest, AFailedWriteKeepsTheOldSettings) {
  ScratchDirectory dir;
  const std::string path = dir.File("qm.ini");
  const std::string before = "[s]\r\nk=1\r\n";
  WriteRaw(path, before);
  CProfile profile(path);
  SetFileFaultInjector([](FileOperation op) { return op == FileOperation::Write; });
  const bool written = profile.WriteString("s", "k", "2");
  SetFileFaultInjector(nullptr);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadRaw(path), before);
  EXPECT_EQ(profile.GetInt("s", "k", 0), 1);
  EXPECT_FALSE(FileExists(path + ".new"));
}

}  // namespace
}  // namespace qm
