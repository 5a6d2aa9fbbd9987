// MD5 (RFC 1321), for the unique ids that the local server hands out. It is not used for anything
// that needs a secure hash.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

class CMd5 {
 public:
  using Digest = std::array<std::uint8_t, 16>;

  CMd5();

  // Adds bytes to the end of the message; a message may arrive in pieces of any size.
  void Update(std::string_view bytes);
  // The digest of every byte given so far. The object is left as it was, so further updates
  // extend the same message.
  Digest Final() const;

 private:
  void Transform(const std::uint8_t* block);

  std::array<std::uint32_t, 4> state;
  // The start of a block that is not yet complete; `length % 64` bytes of it are used.
  std::array<std::uint8_t, 64> pending{};
  std::uint64_t length = 0;
};

// The digest of `bytes` as 32 lower-case hexadecimal digits.
std::string Md5Hex(std::string_view bytes);

}  // namespace qm
