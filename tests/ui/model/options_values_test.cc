#include "ui/model/options_values.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/settings.h"
#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

class OptionsValuesTest : public ::testing::Test {
 protected:
  std::string IniPath() const { return dir.File(settings::kFileName); }
  ScratchDirectory dir;
  CSettings settings{dir.Path()};
};

struct ReadCase {
  const char* name;
  const char* ini;
  OptionsValues expected;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

OptionsValues With(void (*change)(OptionsValues&)) {
  OptionsValues values;
  change(values);
  return values;
}

class OptionsReadTest : public OptionsValuesTest, public ::testing::WithParamInterface<ReadCase> {};
TEST_P(OptionsReadTest, ReadsWhatTheFieldsShow) {
  WriteFileBytes(IniPath(), GetParam().ini);
  EXPECT_EQ(ReadOptions(settings), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Files, OptionsReadTest,
    ::testing::Values(
        ReadCase{"nothing stored", "", OptionsValues{}},
        ReadCase{"everything stored",
                 "[Mailbox]\nPort=110\n[Misc]\nMailer=/usr/bin/メーラ\nStartupRetrieve=0\n"
                 "ShowSplash=0\nNotifyTime=0\nNotifyBySound=0\nNotifySound=/snd/ding.wav\n"
                 "[Geometry]\nNotifyWindowPosX=-1280\nNotifyWindowPosY=40\n",
                 With([](OptionsValues& v) {
                   v = {110,   "/usr/bin/メーラ", false, false, 0,
                        false, "/snd/ding.wav",   false, -1280, 40};
                 })},
        // Any nonzero number switches on, as everywhere the settings are read.
        ReadCase{"nonzero switches", "[Misc]\nStartupRetrieve=2\nShowSplash=-1\nNotifyBySound=7\n",
                 OptionsValues{}},
        // The notification places itself unless both coordinates are stored.
        ReadCase{"only x", "[Geometry]\nNotifyWindowPosX=300\n", OptionsValues{}},
        ReadCase{"only y", "[Geometry]\nNotifyWindowPosY=300\n", OptionsValues{}},
        ReadCase{"empty x", "[Geometry]\nNotifyWindowPosX=\nNotifyWindowPosY=5\n", OptionsValues{}},
        ReadCase{"origin", "[Geometry]\nNotifyWindowPosX=0\nNotifyWindowPosY=0\n",
                 With([](OptionsValues& v) { v.defaultPosition = false; })},
        ReadCase{"out of range",
                 "[Mailbox]\nPort=70000\n[Misc]\nNotifyTime=-3\n"
                 "[Geometry]\nNotifyWindowPosX=-200000\nNotifyWindowPosY=200000\n",
                 With([](OptionsValues& v) {
                   v.port = 65535;
                   v.notifyTime = 0;
                   v.defaultPosition = false;
                   v.positionX = -kOptionsMaxCoordinate;
                   v.positionY = kOptionsMaxCoordinate;
                 })},
        ReadCase{"port zero and long time", "[Mailbox]\nPort=0\n[Misc]\nNotifyTime=999999\n",
                 With([](OptionsValues& v) {
                   v.port = 1;
                   v.notifyTime = kOptionsMaxNotifyTime;
                 })}));

TEST_F(OptionsValuesTest, DefaultPositionRemovesBothKeysAndNothingElse) {
  WriteFileBytes(IniPath(),
                 "; mine\r\n[Geometry]\r\nMain_x=3\r\nNotifyWindowPosX=10\r\n"
                 "NotifyWindowPosY=20\r\nMain_y=4\r\n[Misc]\r\nMailer=/bin/m\r\n");
  OptionsValues values = ReadOptions(settings);
  ASSERT_FALSE(values.defaultPosition);
  values.defaultPosition = true;
  ASSERT_TRUE(WriteOptions(settings, values));
  EXPECT_EQ(ReadFileBytes(IniPath()),
            "; mine\r\n[Geometry]\r\nMain_x=3\r\nMain_y=4\r\n"
            "[Misc]\r\nMailer=/bin/m\r\nStartupRetrieve=1\r\nShowSplash=1\r\nNotifyTime=10\r\n"
            "NotifyBySound=1\r\nNotifySound=\r\n[Mailbox]\r\nPort=1110\r\n");
  EXPECT_TRUE(ReadOptions(settings).defaultPosition);
}

TEST_F(OptionsValuesTest, FailedWriteIsReported) {
  // A directory where the file should be can be neither read nor replaced.
  std::filesystem::create_directory(IniPath());
  EXPECT_FALSE(WriteOptions(settings, OptionsValues{}));
  EXPECT_EQ(ReadOptions(settings), OptionsValues{});
}

TEST(OptionsPlayTest, EmptyBeepsExistingFilePlaysAnythingElseIsMissing) {
  ScratchDirectory dir;
  WriteFileBytes(dir.File("ding.wav"), "RIFF");
  EXPECT_EQ(ChooseOptionsPlay(""), OptionsPlay::Beep);
  EXPECT_EQ(ChooseOptionsPlay(dir.File("ding.wav")), OptionsPlay::File);
  EXPECT_EQ(ChooseOptionsPlay(dir.File("gone.wav")), OptionsPlay::Missing);
  EXPECT_EQ(ChooseOptionsPlay(dir.Path()), OptionsPlay::Missing);
  EXPECT_EQ(ChooseOptionsPlay(" "), OptionsPlay::Missing);
}

}  // namespace
}  // namespace qm
