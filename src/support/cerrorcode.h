#pragma once

#include <cstdint>
#include <exception>

namespace velmora {

// Socket-layer failure: carries one signed 32-bit error code.
class cerrorcode : public std::exception {
 public:
  static constexpr int32_t kPortInUse = 10037;
  static constexpr int32_t kInterrupted = 10004;

  explicit cerrorcode(int32_t code) : code_(code) {}
  int32_t code() const { return code_; }
  const char* what() const noexcept override { return "socket error"; }

 private:
  int32_t code_;
};

}  // namespace velmora
