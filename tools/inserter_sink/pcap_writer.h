#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace velmora {

// Writes Ethernet frames to a classic pcap file (microsecond timestamps, link type Ethernet)
// that Wireshark, tshark and tcpdump read. Each record is flushed, so the file is complete
// whenever the sink stops. One thread owns it.
class PcapWriter {
 public:
  static constexpr uint32_t kSnapLength = 65535;

  // Creates or truncates `path` and writes the file header; ok() tells whether that worked.
  explicit PcapWriter(const std::string& path);
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  bool ok() const { return file_ != nullptr; }
  void Write(std::span<const uint8_t> frame, std::chrono::system_clock::time_point when);

 private:
  std::FILE* file_;
};

}  // namespace velmora
