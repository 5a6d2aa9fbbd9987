// What the file layer decides: atomic replacement, appends that are all or nothing, durability
// before success, refusals of links and of ranges a damaged index names; every refused operation
// of a failing disk is tried.
#include "platform/file_io.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/file_bytes.h"
#include "support/scratch_directory.h"

namespace qm {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

// Every byte value, several times over, so that line ends and NULs get no special treatment.
std::string BinaryContent(std::size_t size) {
  std::string content(size, '\0');
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return content;
}

// Refuses the `failAt`th operation (from 1) of kind `only`, or of any kind, and with `sticky`
// every one after it as well, as a failing disk would. failAt 0 only records.
class FaultScope {
 public:
  explicit FaultScope(int failAt, std::optional<FileOperation> only = {}, bool sticky = false) {
    SetFileFaultInjector([this, failAt, only, sticky](FileOperation op) {
      seen.push_back(op);
      if (failAt == 0 || (only && op != *only)) return false;
      return sticky ? ++counted >= failAt : ++counted == failAt;
    });
  }
  ~FaultScope() { SetFileFaultInjector(nullptr); }
  std::vector<FileOperation> seen;
  int counted = 0;
};

// Whatever operation fails, the file is the old one until the rename and the new one from then on
// (and that is what is reported); the data reaches the disk before the rename, the rename before
// success; with a single refusal no scratch file stays behind.
TEST(FileIoTest, EveryRefusalDuringAReplaceLeavesOldOrNewContent) {
  const std::string oldContent = "old line\r\n", newContent = BinaryContent(150 * 1024);
  for (bool targetExists : {true, false}) {
    for (bool sticky : {false, true}) {
      ScratchDirectory dir;
      const std::string path = dir.File("marks");
      const auto reset = [&] {
        RemoveFile(path + ".new");
        targetExists ? WriteFileBytes(path, oldContent) : (void)RemoveFile(path);
      };
      reset();
      WriteFileBytes(path + ".new",
                     "half-written garbage from before a crash, longer than the rest");
      std::vector<FileOperation> steps;
      {
        FaultScope record(0);
        ASSERT_TRUE(ReplaceFileContent(path, newContent));
        steps = record.seen;
      }
      const auto rename = std::find(steps.begin(), steps.end(), FileOperation::Rename);
      ASSERT_NE(rename, steps.end());
      EXPECT_NE(std::find(steps.begin(), rename, FileOperation::Sync), rename);
      EXPECT_NE(std::find(rename, steps.end(), FileOperation::Sync), steps.end());
      const std::size_t renameAt = static_cast<std::size_t>(rename - steps.begin());
      for (std::size_t n = 1; n <= steps.size(); ++n) {
        SCOPED_TRACE(std::to_string(n) + (sticky ? " sticky" : "") +
                     (targetExists ? " rewrite" : " create"));
        reset();
        int error = 0;
        {
          FaultScope fault(static_cast<int>(n), {}, sticky);
          EXPECT_EQ(ReplaceFileContent(path, newContent, &error), n - 1 > renameAt);
        }
        EXPECT_EQ(error, EIO);
        const std::string expected = n - 1 > renameAt ? newContent
                                     : targetExists   ? oldContent
                                                      : "<none>";
        EXPECT_TRUE((FileExists(path) ? ReadFileBytes(path) : "<none>") == expected);
        EXPECT_TRUE(sticky || !FileExists(path + ".new"));
      }
    }
  }
}

// A writer keeps the old content readable until Commit; a failed write fails the commit, and
// Abort or the destructor leave no scratch file. A rewrite never widens the file's mode.
TEST(FileIoTest, AtomicWriterCommitsOrLeavesTheOldFile) {
  namespace fs = std::filesystem;
  ScratchDirectory dir;
  const std::string path = dir.File("list"), scratch = dir.File("list.tmp");
  WriteFileBytes(path, "old");
  {
    CAtomicFileWriter writer;
    ASSERT_TRUE(writer.Open(path, scratch) && writer.Write(BinaryContent(200000)));
    EXPECT_EQ(ReadFileBytes(path), "old");
    {
      FaultScope fault(1, FileOperation::Write);
      EXPECT_FALSE(writer.Write(BinaryContent(100000)));
    }
    EXPECT_FALSE(writer.Write("more") || writer.Commit());
    EXPECT_EQ(writer.LastError(), EIO);
    ASSERT_TRUE(writer.Open(path, scratch) && writer.Write("abandoned"));
  }
  CAtomicFileWriter writer;
  EXPECT_FALSE(writer.Write("x") || writer.Commit());
  // Written in pieces of every size around the buffer, read back as a stream in odd pieces.
  const std::string content = BinaryContent(300 * 1024);
  ASSERT_TRUE(writer.Open(dir.File("pieces")));
  std::size_t at = 0;
  for (std::size_t piece : {1u, 7u, 65535u, 65536u, 65537u, 3u, 100000u}) {
    ASSERT_TRUE(writer.Write(std::string_view(content).substr(at, piece)));
    at += piece;
  }
  ASSERT_TRUE(writer.Write(std::string_view(content).substr(at)) && writer.Commit());
  CFileReader reader;
  ASSERT_TRUE(reader.Open(dir.File("pieces")));
  std::string streamed;
  char buffer[1000];
  for (std::int64_t n; (n = reader.Read(buffer, sizeof buffer)) > 0;)
    streamed.append(buffer, static_cast<std::size_t>(n));
  EXPECT_TRUE(streamed == content);
  EXPECT_TRUE(RemoveFile(dir.File("pieces")) && RemoveFile(dir.File("pieces")));  // gone is removed
  EXPECT_FALSE(writer.Open(path, dir.Path() + "/sub/a.tmp"));  // a rename across directories
  EXPECT_EQ(writer.LastError(), EINVAL);
  EXPECT_FALSE(writer.Open(path, path) || writer.Open(dir.File("missing/a")));
  EXPECT_EQ(ReadFileBytes(path), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 1);

  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
  ASSERT_TRUE(ReplaceFileContent(path, "y"));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(path, fs::perms::owner_read);
  ASSERT_TRUE(ReplaceFileContent(path, "z") && ReplaceFileContent(dir.File("fresh"), "x"));
  EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read);
  EXPECT_EQ(fs::status(dir.File("fresh")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
}

// A failed append leaves the file as it was, or no file; two pieces on disk by the third write
// have to be cut off again. A new file is undone when its directory entry cannot be made durable.
TEST(FileIoTest, AFailedAppendLeavesTheFileAsItWas) {
  for (auto [op, nth] : {std::pair{FileOperation::Open, 1},
                         {FileOperation::Write, 1},
                         {FileOperation::Write, 3},
                         {FileOperation::Sync, 1}}) {
    SCOPED_TRACE(nth);
    ScratchDirectory dir;
    const std::string path = dir.File("mailbox.dat");
    {
      FaultScope record(0);
      ASSERT_TRUE(AppendToFile(path, "first\r\n") && AppendToFile(path, "second\r\n"));
      EXPECT_EQ(record.seen.back(), FileOperation::Sync);
    }
    int error = 0;
    for (const std::string& file : {dir.File("new.dat"), path}) {
      FaultScope fault(nth, op);
      EXPECT_FALSE(AppendToFile(file, BinaryContent(250 * 1024), &error));
    }
    EXPECT_EQ(error, EIO);
    EXPECT_FALSE(FileExists(dir.File("new.dat")));
    ASSERT_TRUE(AppendToFile(path, "third"));
    EXPECT_EQ(ReadFileBytes(path), "first\r\nsecond\r\nthird");
  }
  ScratchDirectory dir;
  FaultScope fault(2, FileOperation::Sync);
  EXPECT_FALSE(AppendToFile(dir.File("new.dat"), "x"));
  EXPECT_FALSE(FileExists(dir.File("new.dat")));
}

// A link planted in the working directory must not lead a read or a write of mail elsewhere; a
// rewrite replaces the link itself. Truncation only shortens.
TEST(FileIoTest, LinksAndTruncation) {
  ScratchDirectory dir;
  const std::string target = dir.File("elsewhere"), link = dir.File("a.mbx");
  WriteFileBytes(target, "whole\r\n.\r\ncut off");
  std::filesystem::create_symlink(target, link);
  std::string out;
  int error = 0;
  EXPECT_FALSE(ReadFileContent(link, out, &error));
  EXPECT_EQ(error, ELOOP);
  EXPECT_FALSE(AppendToFile(link, "mine", &error) || TruncateFile(link, 0, &error));
  EXPECT_EQ(error, ELOOP);
  ASSERT_TRUE(ReplaceFileContent(link, "mine"));
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  ASSERT_TRUE(TruncateFile(target, 10));
  EXPECT_EQ(ReadFileBytes(target), "whole\r\n.\r\n");
  EXPECT_FALSE(TruncateFile(target, 11, &error) || TruncateFile(target, -1, &error));
  EXPECT_EQ(error, EINVAL);
  {
    FaultScope fault(1, FileOperation::Truncate);
    EXPECT_FALSE(TruncateFile(target, 0, &error));
  }
  EXPECT_EQ(ReadFileBytes(target), "whole\r\n.\r\n");
}

// A reader gives exactly the range or nothing: a damaged index must not make it allocate what it
// names; refused reads fail and the reader goes on.
TEST(FileIoTest, ReadAtGivesTheRangeOrNothing) {
  ScratchDirectory dir;
  WriteFileBytes(dir.File("f"), "0123456789");
  CFileReader reader;
  std::string out;
  EXPECT_FALSE(reader.ReadAt(0, 1, out));
  EXPECT_EQ(reader.LastError(), EBADF);
  ASSERT_TRUE(reader.Open(dir.File("f")));
  const struct {
    std::int64_t offset;
    std::size_t length;
    const char* expected;  // nullptr: refused with `error`
    int error;
  } kCases[] = {{0, 10, "0123456789", 0},
                {3, 4, "3456", 0},
                {10, 0, "", 0},
                {9, 2, nullptr, ENODATA},
                {11, 0, nullptr, ENODATA},
                {-1, 1, nullptr, EINVAL},
                {0, std::numeric_limits<std::size_t>::max(), nullptr, ENODATA},
                {std::numeric_limits<std::int64_t>::max(), 1, nullptr, ENODATA}};
  for (const auto& c : kCases) {
    out = "left over";
    EXPECT_EQ(reader.ReadAt(c.offset, c.length, out), c.expected != nullptr) << c.offset;
    EXPECT_EQ(out, c.expected ? c.expected : "");
    EXPECT_EQ(c.expected ? 0 : reader.LastError(), c.error);
  }
  {
    FaultScope fault(1, FileOperation::Read, true);
    EXPECT_FALSE(reader.ReadAt(0, 3, out));
    EXPECT_EQ(reader.LastError(), EIO);
  }
  EXPECT_TRUE(reader.ReadAt(1, 2, out));
  EXPECT_EQ(out, "12");
}

}  // namespace
}  // namespace qm
