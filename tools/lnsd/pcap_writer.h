#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>

namespace velmora::lnsd {

// Writes raw IPv4 packets into a pcap file (link type 101) as they arrive, each record flushed
// so that a reader sees it at once. Any thread may write.
class PcapWriter {
 public:
  static constexpr uint32_t kLinkTypeRaw = 101;
  static constexpr uint32_t kSnapLength = 65535;

  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates the file with its global header; false when it cannot be written.
  bool Open(const std::string& path);
  void Write(std::span<const uint8_t> packet, std::chrono::system_clock::time_point when);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace velmora::lnsd
