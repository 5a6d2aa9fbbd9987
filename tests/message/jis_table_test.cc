// Checks the ISO-2022-JP conversions cell by cell against the C library's own JIS X 0208 tables.
#include <errno.h>
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "message/decode.h"

namespace qm {
namespace {

// Converts with iconv; false when the C library has no character for the input.
bool Iconv(const char* to, const char* from, const std::string& input, std::string& output) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* in = const_cast<char*>(input.data());
  std::size_t inLeft = input.size();
  char buffer[64];
  char* out = buffer;
  std::size_t outLeft = sizeof buffer;
  const std::size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return false;
  output.assign(buffer, static_cast<std::size_t>(out - buffer));
  return true;
}

TEST(JisTableTest, EveryJisX0208CellMatchesTheLibraryShiftJis) {
  int compared = 0;
  for (int row = 0x21; row <= 0x7E; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) {
      const std::string pair{static_cast<char>(row), static_cast<char>(cell)};
      const std::string jis = "\x1B$B" + pair + "\x1B(B";
      std::string reference;
      if (!Iconv("SHIFT_JIS", "ISO-2022-JP", jis, reference)) continue;
      std::string converted;
      ASSERT_EQ(JisToShiftJis(jis, converted), 1);
      EXPECT_EQ(converted, reference) << "row " << row - 0x20 << " cell " << cell - 0x20;
      // The UTF-8 conversion goes the same way, through code page 932.
      std::string utf8;
      ASSERT_TRUE(Iconv("UTF-8", "CP932", reference, utf8));
      ASSERT_EQ(JisToUtf8(jis, converted), 1);
      EXPECT_EQ(converted, utf8) << "row " << row - 0x20 << " cell " << cell - 0x20;
      ++compared;
    }
  }
  // JIS X 0208 defines 6879 characters; the library must have compared nearly all of them.
  EXPECT_GT(compared, 6800);
}

}  // namespace
}  // namespace qm
