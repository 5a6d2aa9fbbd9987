#include "store/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace qm {
namespace {

struct DigestCase {
  std::string message;
  const char* hex;
};

void PrintTo(const DigestCase& c, std::ostream* os) {
  *os << c.message.size() << " bytes";
  const bool printable = std::all_of(c.message.begin(), c.message.end(),
                                     [](char ch) { return ch >= 0x20 && ch < 0x7F; });
  if (printable) *os << ": \"" << c.message.substr(0, 40) << "\"";
}

std::string CaseName(const ::testing::TestParamInfo<DigestCase>& c) {
  return "Length" + std::to_string(c.param.message.size());
}

class Md5VectorTest : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Md5VectorTest, GivesTheKnownDigest) {
  EXPECT_EQ(Md5Hex(GetParam().message), GetParam().hex);
}

// The test suite of RFC 1321, appendix A.5.
INSTANTIATE_TEST_SUITE_P(
    Rfc1321, Md5VectorTest,
    ::testing::Values(
        DigestCase{"", "d41d8cd98f00b204e9800998ecf8427e"},
        DigestCase{"a", "0cc175b9c0f1b6a831c399e269772661"},
        DigestCase{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        DigestCase{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        DigestCase{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        DigestCase{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                   "d174ab98d277d9f5a5611c2c9f419d9f"},
        DigestCase{"1234567890123456789012345678901234567890123456789012345678901234567890123456"
                   "7890",
                   "57edf4a22be3c955ac49da2e2107b67a"}),
    CaseName);

// The length goes into the last 8 bytes of a block: up to 55 bytes it fits after the 0x80 byte,
// from 56 on padding spills into another block. Values from Python's hashlib.
INSTANTIATE_TEST_SUITE_P(
    PaddingBoundaries, Md5VectorTest,
    ::testing::Values(DigestCase{std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
                      DigestCase{std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
                      DigestCase{std::string(57, 'a'), "652b906d60af96844ebd21b674f35e93"},
                      DigestCase{std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
                      DigestCase{std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
                      DigestCase{std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
                      DigestCase{std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
                      DigestCase{std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
                      DigestCase{std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"}),
    CaseName);

// Bytes of every value, NUL and 0x80 included, from a linear congruential generator (the high
// byte of each state) that the same few lines of Python reproduce:
//   s = (s * 1103515245 + 12345) & 0xffffffff; out.append(s >> 24)
std::string PseudoRandomBytes(std::uint32_t seed, std::size_t size) {
  std::string bytes;
  bytes.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    bytes.push_back(static_cast<char>(seed >> 24));
  }
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    BinaryData, Md5VectorTest,
    ::testing::Values(DigestCase{PseudoRandomBytes(1, 1), "7fc56270e7a70fa81a5935b72eacbe29"},
                      DigestCase{PseudoRandomBytes(2, 61), "3d8e19e34c777832de47b34903582e40"},
                      DigestCase{PseudoRandomBytes(3, 1000), "e99946756f54830c1d74e3a626a8a34d"},
                      DigestCase{PseudoRandomBytes(4, 4103), "37219efebe1fd9ca5636b2863fe8eeba"},
                      DigestCase{PseudoRandomBytes(5, 100000), "d1f19580ffe875f08f3f2a223e3cb999"}),
    CaseName);

std::string Hex(const CMd5::Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

// Long enough to span three blocks, so that pieces end inside, at and across block boundaries.
const std::string kSplitMessage = PseudoRandomBytes(7, 150);

TEST(Md5IncrementalTest, EverySplitIntoTwoOrThreePiecesGivesTheSameDigest) {
  const std::string whole = Md5Hex(kSplitMessage);
  const std::size_t n = kSplitMessage.size();
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t j = i; j <= n; ++j) {
      CMd5 md5;
      md5.Update(std::string_view(kSplitMessage).substr(0, i));
      md5.Update(std::string_view(kSplitMessage).substr(i, j - i));
      md5.Update(std::string_view(kSplitMessage).substr(j));
      ASSERT_EQ(Hex(md5.Final()), whole) << "split at " << i << " and " << j;
    }
  }
}

TEST(Md5IncrementalTest, OneByteAtATimeGivesTheSameDigest) {
  CMd5 md5;
  for (char c : kSplitMessage) md5.Update(std::string_view(&c, 1));
  EXPECT_EQ(Hex(md5.Final()), Md5Hex(kSplitMessage));
}

TEST(Md5IncrementalTest, FinalLeavesTheMessageOpenForMoreBytes) {
  CMd5 md5;
  md5.Update("message ");
  EXPECT_EQ(Hex(md5.Final()), Md5Hex("message "));
  md5.Update("digest");
  EXPECT_EQ(Hex(md5.Final()), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Hex(CMd5().Final()), "d41d8cd98f00b204e9800998ecf8427e");
}

}  // namespace
}  // namespace qm
