#include "lnsd/pcap_writer.h"

#include <algorithm>

namespace velmora::lnsd {

namespace {

// The fields of the file format in the writer's byte order, which the magic number announces.
struct GlobalHeader {
  uint32_t magic = 0xa1b2c3d4;
  uint16_t major = 2, minor = 4;
  int32_t zone = 0;
  uint32_t accuracy = 0;
  uint32_t snap_length = PcapWriter::kSnapLength;
  uint32_t link_type = PcapWriter::kLinkTypeRaw;
};

struct RecordHeader {
  uint32_t seconds, microseconds, captured, length;
};

}  // namespace

PcapWriter::~PcapWriter() {
  if (file_) std::fclose(file_);
}

bool PcapWriter::Open(const std::string& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  const GlobalHeader header;
  return std::fwrite(&header, sizeof header, 1, file_) == 1 && std::fflush(file_) == 0;
}

void PcapWriter::Write(std::span<const uint8_t> packet,
                       std::chrono::system_clock::time_point when) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  const auto captured = static_cast<uint32_t>(std::min<size_t>(packet.size(), kSnapLength));
  const RecordHeader record{static_cast<uint32_t>(micros / 1000000),
                            static_cast<uint32_t>(micros % 1000000), captured,
                            static_cast<uint32_t>(packet.size())};
  std::lock_guard<std::mutex> guard(mutex_);
  if (!file_) return;
  std::fwrite(&record, sizeof record, 1, file_);
  std::fwrite(packet.data(), 1, captured, file_);
  std::fflush(file_);
}

}  // namespace velmora::lnsd
