#include "inserter_sink/pcap_writer.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr uint32_t kMagic = 0xa1b2c3d4;  // written in host order; readers detect the order
constexpr uint32_t kLinkTypeEthernet = 1;

struct FileHeader {
  uint32_t magic = kMagic;
  uint16_t version_major = 2;
  uint16_t version_minor = 4;
  int32_t zone = 0;
  uint32_t sigfigs = 0;
  uint32_t snap_length = PcapWriter::kSnapLength;
  uint32_t link_type = kLinkTypeEthernet;
};

struct RecordHeader {
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t captured;
  uint32_t length;
};

}  // namespace

PcapWriter::PcapWriter(const std::string& path) : file_(std::fopen(path.c_str(), "wb")) {
  const FileHeader header;
  if (file_ != nullptr && std::fwrite(&header, sizeof header, 1, file_) != 1) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

PcapWriter::~PcapWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

void PcapWriter::Write(std::span<const uint8_t> frame, std::chrono::system_clock::time_point when) {
  if (file_ == nullptr) return;
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
  const auto captured = static_cast<uint32_t>(std::min<size_t>(frame.size(), kSnapLength));
  const RecordHeader record{static_cast<uint32_t>(micros / 1000000),
                            static_cast<uint32_t>(micros % 1000000), captured,
                            static_cast<uint32_t>(frame.size())};
  std::fwrite(&record, sizeof record, 1, file_);
  std::fwrite(frame.data(), 1, captured, file_);
  std::fflush(file_);
}

}  // namespace velmora
