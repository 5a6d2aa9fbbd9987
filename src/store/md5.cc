#include "store/md5.h"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace qm {

namespace {

// The integer part of 2^32 * |sin(i + 1)|, i = 0..63, as RFC 1321 section 3.4 defines its table.
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left rotations of each round; every round repeats its four amounts over its sixteen steps.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr std::size_t kBlockSize = 64;
// Where the 64-bit message length starts in the last padded block.
constexpr std::size_t kLengthOffset = 56;

}  // namespace

CMd5::CMd5() : state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void CMd5::Transform(const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) {
    const std::uint8_t* p = block + 4 * i;
    x[i] = static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
  }

  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int step = 0; step < 64; ++step) {
    const int round = step / 16;
    std::uint32_t mixed;
    int word;
    // The four auxiliary functions F, G, H and I, and the order in which each round visits the
    // sixteen words of the block.
    switch (round) {
      case 0:
        mixed = (b & c) | (~b & d);
        word = step;
        break;
      case 1:
        mixed = (b & d) | (c & ~d);
        word = (5 * step + 1) % 16;
        break;
      case 2:
        mixed = b ^ c ^ d;
        word = (3 * step + 5) % 16;
        break;
      default:
        mixed = c ^ (b | ~d);
        word = (7 * step) % 16;
        break;
    }
    // Each step replaces one of the four registers; rotating the names instead of the values
    // lets one statement serve all 64 steps.
    const std::uint32_t sum = a + mixed + kSine[step] + x[word];
    a = d;
    d = c;
    c = b;
    b += std::rotl(sum, kShift[round][step % 4]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

void CMd5::Update(std::string_view bytes) {
  const auto* in = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t left = bytes.size();
  std::size_t used = static_cast<std::size_t>(length % kBlockSize);
  length += left;

  if (used > 0) {
    const std::size_t take = std::min(left, kBlockSize - used);
    std::copy(in, in + take, pending.begin() + static_cast<std::ptrdiff_t>(used));
    in += take;
    left -= take;
    used += take;
    if (used < kBlockSize) return;
    Transform(pending.data());
  }
  for (; left >= kBlockSize; in += kBlockSize, left -= kBlockSize) Transform(in);
  std::copy(in, in + left, pending.begin());
}

CMd5::Digest CMd5::Final() const {
  CMd5 last = *this;
  // RFC 1321 3.1-3.2: one 0x80 byte, zeros up to 56 bytes into a block, then the message length
  // in bits as a little-endian 64-bit number (modulo 2^64).
  const std::uint64_t bits = length * 8;
  const std::size_t used = static_cast<std::size_t>(length % kBlockSize);
  const std::size_t padding =
      used < kLengthOffset ? kLengthOffset - used : kBlockSize + kLengthOffset - used;
  std::string tail(padding + 8, '\0');
  tail[0] = static_cast<char>(0x80);
  for (std::size_t i = 0; i < 8; ++i)
    tail[padding + i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  last.Update(tail);

  Digest digest;
  for (std::size_t i = 0; i < 16; ++i) {
    digest[i] = static_cast<std::uint8_t>((last.state[i / 4] >> (8 * (i % 4))) & 0xFF);
  }
  return digest;
}

std::string Md5Hex(std::string_view bytes) {
  CMd5 md5;
  md5.Update(bytes);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(32);
  for (std::uint8_t byte : md5.Final()) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0x0F]);
  }
  return hex;
}

}  // namespace qm
