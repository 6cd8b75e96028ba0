#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace velmora {

// Keeps the kernel from merging received frames on one interface while the object lives: turns
// GRO and LRO off where they are on, and on again at destruction (only those it turned off).
// Each change and each refusal is reported as a log line. Made and destroyed by the thread that
// opens and closes the tap, in the interface's network namespace.
class ReceiveMergingGuard {
 public:
  using Report = std::function<void(std::string_view line)>;
  ReceiveMergingGuard(std::string interface, Report report);
  ~ReceiveMergingGuard();
  ReceiveMergingGuard(const ReceiveMergingGuard&) = delete;
  ReceiveMergingGuard& operator=(const ReceiveMergingGuard&) = delete;

 private:
  std::string interface_;
  Report report_;
  bool gro_off_ = false;
  bool lro_off_ = false;
};

}  // namespace velmora
