#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace velmora {

using Md5Digest = std::array<uint8_t, 16>;

// The MD5 message digest of RFC 1321, fed in pieces: hidden AVPs, tunnel authentication and
// CHAP each hash a few fields one after the other. One thread uses an object.
class Md5 {
 public:
  Md5();
  Md5& Update(std::span<const uint8_t> bytes);
  Md5Digest Final();

 private:
  void Transform(const uint8_t block[64]);

  std::array<uint32_t, 4> state_;
  uint64_t length_ = 0;  // bytes fed so far
  std::array<uint8_t, 64> block_{};
};

}  // namespace velmora
