#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

void WriteRaw(const std::string& path, const std::string& content) {
  test::WriteFileBytes(path, content);
}

std::string ReadRaw(const std::string& path) { return test::ReadFileBytes(path); }

// Every byte value, several times over, so that line ends and NULs get no special treatment.
std::string BinaryContent(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return content;
}

// Compares file contents without printing hundreds of kilobytes when they differ.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at offset " << at;
}

// Refuses the `failAt`th operation (counting from 1) of kind `only`, or of any kind, and with
// `sticky` every one after it as well, as a failing disk would. failAt 0 only records.
class FaultScope {
 public:
  explicit FaultScope(int failAt, std::optional<FileOperation> only = {}, bool sticky = false) {
    SetFileFaultInjector([this, failAt, only, sticky](FileOperation op) {
      seen_.push_back(op);
      if (failAt == 0 || (only && op != *only)) return false;
      ++counted_;
      return sticky ? counted_ >= failAt : counted_ == failAt;
    });
  }
  ~FaultScope() { SetFileFaultInjector(nullptr); }
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;

  const std::vector<FileOperation>& Seen() const { return seen_; }

 private:
  std::vector<FileOperation> seen_;
  int counted_ = 0;
};

TEST(FileIoTest, ContentRoundTripsByteForByte) {
  ScratchDirectory dir;
  const std::string path = dir.File("list.txt");
  const std::string content = BinaryContent(300 * 1024);
  ASSERT_TRUE(ReplaceFileContent(path, content));
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(FileSize(path), static_cast<std::int64_t>(content.size()));

  std::string read;
  ASSERT_TRUE(ReadFileContent(path, read));
  EXPECT_TRUE(SameBytes(read, content));

  // Written in pieces of every size around the buffer, read back as a stream in odd pieces.
  CAtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(path));
  std::size_t at = 0;
  for (std::size_t piece : {1u, 7u, 65535u, 65536u, 65537u, 3u, 100000u}) {
    ASSERT_TRUE(writer.Write(std::string_view(content).substr(at, piece)));
    at += piece;
  }
  ASSERT_TRUE(writer.Write(std::string_view(content).substr(at)));
  ASSERT_TRUE(writer.Commit());

  CFileReader reader;
  ASSERT_TRUE(reader.Open(path));
  EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(content.size()));
  std::string streamed;
  char buffer[1000];
  for (std::int64_t n; (n = reader.Read(buffer, sizeof buffer)) > 0;) {
    streamed.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_TRUE(SameBytes(streamed, content));
}

TEST(FileIoTest, MissingAndUnreadableFilesAreToldApart) {
  ScratchDirectory dir;
  std::string out = "stale";
  int error = 0;
  EXPECT_FALSE(ReadFileContent(dir.File("absent"), out, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(ReadFileContent(dir.Path(), out, &error));
  EXPECT_EQ(error, EISDIR);
  EXPECT_FALSE(FileExists(dir.File("absent")));
  EXPECT_EQ(FileSize(dir.File("absent")), -1);
}

// A link planted in the working directory must not lead a read or a write of mail elsewhere.
TEST(FileIoTest, FilesAreNeverOpenedThroughASymbolicLink) {
  ScratchDirectory dir;
  const std::string target = dir.File("elsewhere");
  const std::string link = dir.File("a.mbx");
  WriteRaw(target, "theirs");
  std::filesystem::create_symlink(target, link);
  std::string out;
  int error = 0;
  EXPECT_FALSE(ReadFileContent(link, out, &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(AppendToFile(link, "mine", &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(TruncateFile(link, 0, &error));
  // A rewrite replaces the link itself.
  ASSERT_TRUE(ReplaceFileContent(link, "mine"));
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadRaw(link), "mine");
  EXPECT_EQ(ReadRaw(target), "theirs");
}

TEST(FileIoTest, RemoveAndRename) {
  ScratchDirectory dir;
  const std::string a = dir.File("a");
  const std::string b = dir.File("b");
  EXPECT_TRUE(RemoveFile(a));
  WriteRaw(a, "A");
  WriteRaw(b, "B");
  ASSERT_TRUE(RenameFile(a, b));
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(ReadRaw(b), "A");
  int error = 0;
  EXPECT_FALSE(RenameFile(a, b, &error));
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(ReadRaw(b), "A");
  ASSERT_TRUE(RemoveFile(b));
  EXPECT_FALSE(FileExists(b));
}

TEST(FileIoTest, TruncateOnlyShortens) {
  ScratchDirectory dir;
  const std::string path = dir.File("1.mbx");
  WriteRaw(path, "whole\r\n.\r\ncut off");
  ASSERT_TRUE(TruncateFile(path, 10));
  EXPECT_EQ(ReadRaw(path), "whole\r\n.\r\n");
  int error = 0;
  EXPECT_FALSE(TruncateFile(path, 11, &error));
  EXPECT_EQ(error, EINVAL);
  EXPECT_FALSE(TruncateFile(path, -1, &error));
  EXPECT_EQ(error, EINVAL);
  {
    FaultScope fault(1, FileOperation::Truncate);
    EXPECT_FALSE(TruncateFile(path, 0, &error));
    EXPECT_EQ(error, EIO);
  }
  EXPECT_EQ(ReadRaw(path), "whole\r\n.\r\n");
  EXPECT_FALSE(TruncateFile(dir.File("absent"), 0, &error));
  EXPECT_EQ(error, ENOENT);
}

TEST(AtomicFileWriterTest, OldContentStaysReadableUntilCommit) {
  ScratchDirectory dir;
  const std::string path = dir.File("marks.dat");
  WriteRaw(path, "old\r\n");
  CAtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(path));
  ASSERT_TRUE(writer.Write("new\r\n"));
  ASSERT_TRUE(writer.Write(BinaryContent(100000)));
  EXPECT_EQ(ReadRaw(path), "old\r\n");
  EXPECT_TRUE(FileExists(path + ".new"));
  ASSERT_TRUE(writer.Commit());
  EXPECT_TRUE(SameBytes(ReadRaw(path), "new\r\n" + BinaryContent(100000)));
  EXPECT_FALSE(FileExists(path + ".new"));
  EXPECT_FALSE(writer.IsOpen());
}

TEST(AtomicFileWriterTest, AbortAndDestructorLeaveTheOldFileAndNoScratch) {
  ScratchDirectory dir;
  const std::string path = dir.File("3");
  const std::string scratch = dir.File("3.tmp");
  WriteRaw(path, "old");
  {
    CAtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(path, scratch));
    ASSERT_TRUE(writer.Write(BinaryContent(200000)));
    EXPECT_TRUE(FileExists(scratch));
    writer.Abort();
    EXPECT_FALSE(FileExists(scratch));
    EXPECT_FALSE(writer.Commit());
  }
  {
    CAtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(path, scratch));
    ASSERT_TRUE(writer.Write("never committed"));
  }
  EXPECT_EQ(ReadRaw(path), "old");
  EXPECT_FALSE(FileExists(scratch));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(AtomicFileWriterTest, ScratchLeftByACrashIsReplaced) {
  ScratchDirectory dir;
  const std::string path = dir.File("settings.ini");
  WriteRaw(path + ".new", "half-written garbage from before the crash, longer than the new text");
  ASSERT_TRUE(ReplaceFileContent(path, "fresh"));
  EXPECT_EQ(ReadRaw(path), "fresh");
  EXPECT_FALSE(FileExists(path + ".new"));
}

TEST(AtomicFileWriterTest, FilesArePrivateAndRewritesNeverWidenThem) {
  namespace fs = std::filesystem;
  ScratchDirectory dir;
  const std::string fresh = dir.File("fresh");
  ASSERT_TRUE(ReplaceFileContent(fresh, "x"));
  EXPECT_EQ(fs::status(fresh).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  const std::string shared = dir.File("shared");
  WriteRaw(shared, "x");
  fs::permissions(shared, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                              fs::perms::others_read);
  ASSERT_TRUE(ReplaceFileContent(shared, "y"));
  EXPECT_EQ(fs::status(shared).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  fs::permissions(shared, fs::perms::owner_read);
  ASSERT_TRUE(ReplaceFileContent(shared, "z"));
  EXPECT_EQ(fs::status(shared).permissions(), fs::perms::owner_read);
}

TEST(AtomicFileWriterTest, RefusesMisuse) {
  ScratchDirectory dir;
  const std::string path = dir.File("a");
  CAtomicFileWriter writer;
  EXPECT_FALSE(writer.Write("x"));
  EXPECT_FALSE(writer.Commit());
  // A rename across directories would not be atomic, or would not work at all.
  EXPECT_FALSE(writer.Open(path, dir.Path() + "/sub/a.tmp"));
  EXPECT_EQ(writer.LastError(), EINVAL);
  EXPECT_FALSE(writer.Open(path, path));
  EXPECT_FALSE(writer.Open(dir.File("missing/a")));
  EXPECT_EQ(writer.LastError(), ENOENT);
  EXPECT_FALSE(FileExists(path));
}

TEST(AtomicFileWriterTest, AFailedWriteFailsTheCommit) {
  ScratchDirectory dir;
  const std::string path = dir.File("list");
  WriteRaw(path, "old");
  CAtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(path));
  {
    FaultScope fault(1, FileOperation::Write);
    EXPECT_FALSE(writer.Write(BinaryContent(100000)));
  }
  EXPECT_EQ(writer.LastError(), EIO);
  EXPECT_FALSE(writer.Write("more"));
  EXPECT_FALSE(writer.Commit());
  EXPECT_EQ(writer.LastError(), EIO);
  EXPECT_EQ(ReadRaw(path), "old");
  EXPECT_FALSE(FileExists(path + ".new"));
}

struct ReplaceFaultCase {
  const char* name;
  bool targetExists;
  bool sticky;  // the disk keeps failing after the first refusal
};

class ReplaceFaultTest : public ::testing::TestWithParam<ReplaceFaultCase> {};

// Whatever operation fails, the file is afterwards the old one until the rename and the new one
// from then on; with a single refusal no scratch file stays behind either.
TEST_P(ReplaceFaultTest, EveryRefusalLeavesOldOrNewContent) {
  const ReplaceFaultCase& c = GetParam();
  ScratchDirectory dir;
  const std::string path = dir.File("marks");
  const std::string oldContent = "old line\r\n";
  const std::string newContent = BinaryContent(150 * 1024);
  auto reset = [&] {
    RemoveFile(path + ".new");
    if (c.targetExists) {
      WriteRaw(path, oldContent);
    } else {
      RemoveFile(path);
    }
  };

  reset();
  std::vector<FileOperation> steps;
  {
    FaultScope record(0);
    ASSERT_TRUE(ReplaceFileContent(path, newContent));
    steps = record.Seen();
  }
  std::size_t rename = 0;
  while (rename < steps.size() && steps[rename] != FileOperation::Rename) ++rename;
  ASSERT_LT(rename, steps.size());
  // Durability: the data reaches the disk before the rename, the rename before success.
  const auto renameAt = steps.begin() + static_cast<std::ptrdiff_t>(rename);
  EXPECT_NE(std::find(steps.begin(), renameAt, FileOperation::Sync), renameAt);
  EXPECT_NE(std::find(renameAt, steps.end(), FileOperation::Sync), steps.end());

  for (std::size_t n = 1; n <= steps.size(); ++n) {
    reset();
    int error = 0;
    {
      FaultScope fault(static_cast<int>(n), {}, c.sticky);
      // Once the rename is done the new content is in place, and that is what is reported.
      EXPECT_EQ(ReplaceFileContent(path, newContent, &error), n - 1 > rename)
          << "refusing step " << n;
    }
    EXPECT_EQ(error, EIO) << "refusing step " << n;
    if (n - 1 > rename) {
      EXPECT_TRUE(SameBytes(ReadRaw(path), newContent)) << "refusing step " << n;
    } else if (c.targetExists) {
      EXPECT_TRUE(SameBytes(ReadRaw(path), oldContent)) << "refusing step " << n;
    } else {
      EXPECT_FALSE(FileExists(path)) << "refusing step " << n;
    }
    if (!c.sticky) {
      EXPECT_FALSE(FileExists(path + ".new")) << "refusing step " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, ReplaceFaultTest,
                         ::testing::Values(ReplaceFaultCase{"Rewrite", true, false},
                                           ReplaceFaultCase{"RewriteFailingDisk", true, true},
                                           ReplaceFaultCase{"Create", false, false},
                                           ReplaceFaultCase{"CreateFailingDisk", false, true}),
                         [](const auto& test) { return std::string(test.param.name); });

struct AppendFaultCase {
  const char* name;
  FileOperation op;
  int nth;
};

class AppendFaultTest : public ::testing::TestWithParam<AppendFaultCase> {};

TEST_P(AppendFaultTest, AFailedAppendLeavesTheFileAsItWas) {
  const AppendFaultCase& c = GetParam();
  ScratchDirectory dir;
  const std::string path = dir.File("mailbox.dat");
  ASSERT_TRUE(AppendToFile(path, "first\r\n"));
  ASSERT_TRUE(AppendToFile(path, "second\r\n"));
  const std::string before = ReadRaw(path);
  ASSERT_EQ(before, "first\r\nsecond\r\n");

  int error = 0;
  {
    FaultScope fault(c.nth, c.op);
    EXPECT_FALSE(AppendToFile(path, BinaryContent(250 * 1024), &error));
  }
  EXPECT_EQ(error, EIO);
  EXPECT_TRUE(SameBytes(ReadRaw(path), before));
  ASSERT_TRUE(AppendToFile(path, "third"));
  EXPECT_TRUE(SameBytes(ReadRaw(path), before + "third"));
}

TEST_P(AppendFaultTest, AFailedAppendToANewFileLeavesNoFile) {
  const AppendFaultCase& c = GetParam();
  ScratchDirectory dir;
  const std::string path = dir.File("new.dat");
  {
    FaultScope fault(c.nth, c.op);
    EXPECT_FALSE(AppendToFile(path, BinaryContent(250 * 1024)));
  }
  EXPECT_FALSE(FileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AppendFaultTest,
    ::testing::Values(AppendFaultCase{"Open", FileOperation::Open, 1},
                      AppendFaultCase{"FirstWrite", FileOperation::Write, 1},
                      // Two pieces are on disk by then and have to be cut off again.
                      AppendFaultCase{"ThirdWrite", FileOperation::Write, 3},
                      AppendFaultCase{"Sync", FileOperation::Sync, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(AppendTest, AppendsAreDurableBeforeTheyReportSuccess) {
  ScratchDirectory dir;
  const std::string path = dir.File("mailbox.dat");
  for (int round = 0; round < 2; ++round) {
    FaultScope record(0);
    ASSERT_TRUE(AppendToFile(path, "line\r\n"));
    ASSERT_FALSE(record.Seen().empty());
    EXPECT_EQ(record.Seen().back(), FileOperation::Sync) << "round " << round;
  }
  EXPECT_EQ(ReadRaw(path), "line\r\nline\r\n");
}

TEST(AppendTest, ANewFileIsUndoneWhenItsDirectoryEntryCannotBeMadeDurable) {
  ScratchDirectory dir;
  const std::string path = dir.File("new.dat");
  {
    FaultScope fault(2, FileOperation::Sync);
    EXPECT_FALSE(AppendToFile(path, "x"));
  }
  EXPECT_FALSE(FileExists(path));
}

struct ReadAtCase {
  std::int64_t offset;
  std::size_t length;
  const char* expected;  // nullptr: the read must fail
  int error;
};

class ReadAtTest : public ::testing::TestWithParam<ReadAtCase> {};

TEST_P(ReadAtTest, ReadsExactlyTheRangeOrNothing) {
  const ReadAtCase& c = GetParam();
  ScratchDirectory dir;
  const std::string path = dir.File("f");
  WriteRaw(path, "0123456789");
  CFileReader reader;
  ASSERT_TRUE(reader.Open(path));
  std::string out = "left over from before";
  if (c.expected != nullptr) {
    ASSERT_TRUE(reader.ReadAt(c.offset, c.length, out));
    EXPECT_EQ(out, c.expected);
  } else {
    EXPECT_FALSE(reader.ReadAt(c.offset, c.length, out));
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(reader.LastError(), c.error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, ReadAtTest,
    ::testing::Values(ReadAtCase{0, 10, "0123456789", 0}, ReadAtCase{3, 4, "3456", 0},
                      ReadAtCase{10, 0, "", 0}, ReadAtCase{9, 2, nullptr, ENODATA},
                      ReadAtCase{11, 0, nullptr, ENODATA}, ReadAtCase{-1, 1, nullptr, EINVAL},
                      // A corrupt index must not make the reader allocate what it names.
                      ReadAtCase{0, std::numeric_limits<std::size_t>::max(), nullptr, ENODATA},
                      ReadAtCase{std::numeric_limits<std::int64_t>::max(), 1, nullptr, ENODATA}));

TEST(FileReaderTest, RefusedReadsAndClosedReadersFail) {
  ScratchDirectory dir;
  const std::string path = dir.File("f");
  WriteRaw(path, "abc");
  CFileReader reader;
  std::string out;
  EXPECT_FALSE(reader.ReadAt(0, 1, out));
  EXPECT_EQ(reader.LastError(), EBADF);
  ASSERT_TRUE(reader.Open(path));
  char buffer[4];
  {
    FaultScope fault(1, FileOperation::Read, true);
    EXPECT_FALSE(reader.ReadAt(0, 3, out));
    EXPECT_EQ(reader.LastError(), EIO);
    EXPECT_EQ(reader.Read(buffer, sizeof buffer), -1);
  }
  EXPECT_TRUE(reader.ReadAt(1, 2, out));
  EXPECT_EQ(out, "bc");

  CFileReader moved = std::move(reader);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_EQ(moved.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(moved.Read(buffer, sizeof buffer), 0);
  moved.Close();
  EXPECT_EQ(moved.Size(), -1);
  EXPECT_FALSE(reader.Open(dir.File("absent")));
  EXPECT_EQ(reader.LastError(), ENOENT);
}

}  // namespace
}  // namespace qm
