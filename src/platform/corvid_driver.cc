#include "platform/corvid_driver.h"

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/network_links.h"

namespace velmora {

namespace {

ifreq RequestFor(const std::string& name) {
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  return request;
}

// Whether the interface named `name` in the calling thread's namespace is a TAP device: the tun
// driver reports "tap" as the bus of its TAP devices.
bool IsTapDevice(const std::string& name) {
  const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq request = RequestFor(name);
  request.ifr_data = reinterpret_cast<char*>(&info);
  const bool answered = ::ioctl(probe, SIOCETHTOOL, &request) == 0;
  ::close(probe);
  return answered && std::strcmp(info.driver, "tun") == 0 && std::strcmp(info.bus_info, "tap") == 0;
}

// Attaches a new descriptor to the TAP device `name`; -1 unless the device it got is a
// persistent one (one that the attach itself created, in a race with its removal, is not).
int AttachTap(const std::string& name) {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request = RequestFor(name);
  request.ifr_flags = IFF_TAP | IFF_NO_PI;
  ifreq attached{};
  if (::ioctl(fd, TUNSETIFF, &request) != 0 || ::ioctl(fd, TUNGETIFF, &attached) != 0 ||
      (attached.ifr_flags & IFF_PERSIST) == 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t EtherType(std::span<const uint8_t> frame) {
  return frame.size() < 14 ? 0 : static_cast<uint16_t>(frame[12] << 8 | frame[13]);
}

}  // namespace

FrameBatch::FrameBatch(size_t headroom)
    : headroom_(headroom),
      bytes_(std::make_unique_for_overwrite<uint8_t[]>(kDatagramBatch * (headroom + kFrameRoom))) {}

int CorvidDriver::CorvidOpen(std::string_view description) {
  CorvidClose();
  const auto links = ListNetworkLinks();
  if (!links) return -1;
  const auto link = FindLinkByDescription(*links, description);
  if (!link || !IsTapDevice(link->name)) return -1;
  fd_ = AttachTap(link->name);
  return fd_;
}

bool CorvidDriver::CorvidSetFrameEvent(DriverEvent& event) {
  if (fd_ < 0 || !event.valid()) return false;
  event.Watch(fd_);
  frame_event_ = &event;
  return true;
}

bool CorvidDriver::CorvidSetArpEvent(DriverEvent& event) {
  if (fd_ < 0 || !event.valid()) return false;
  arp_event_ = &event;
  return true;
}

long CorvidDriver::ReadOne(std::span<uint8_t> room) {
  for (;;) {
    const ssize_t length = ::read(fd_, room.data(), room.size());
    if (length < 0 && errno == EINTR) continue;
    if (length < 0) return -errno;
    const std::span<const uint8_t> frame = room.first(static_cast<size_t>(length));
    if (EtherType(frame) != kArpEtherType) return length;
    QueueArp(frame);
    return 0;
  }
}

bool CorvidDriver::CorvidGetFrame(std::span<uint8_t> buffer, uint32_t& length) {
  if (fd_ < 0 || buffer.size() < FrameBatch::kFrameRoom) return false;
  for (;;) {
    const long read = ReadOne(buffer);
    if (read < 0) return false;
    if (read > 0) {
      length = static_cast<uint32_t>(read);
      return true;
    }
  }
}

int CorvidDriver::CorvidGetFrames(FrameBatch& batch) {
  batch.Clear();
  if (fd_ < 0) return -EBADF;
  while (batch.size() < kDatagramBatch) {
    const long read = ReadOne(batch.next_room());
    if (read == -EAGAIN) break;
    // An error after some frames is met again by the next call.
    if (read < 0) return batch.size() > 0 ? static_cast<int>(batch.size()) : static_cast<int>(read);
    if (read > 0) batch.Keep(static_cast<size_t>(read));
  }
  return static_cast<int>(batch.size());
}

void CorvidDriver::QueueArp(std::span<const uint8_t> frame) {
  std::lock_guard lock(arp_mutex_);
  if (arp_queue_.size() >= kArpQueueLimit) {
    arp_drops_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  arp_queue_.emplace_back(frame.begin(), frame.end());
  // Signalled when the queue stops being empty; CorvidGetArp signals again for what remains.
  if (arp_queue_.size() == 1 && arp_event_ != nullptr) arp_event_->Signal();
}

bool CorvidDriver::CorvidGetArp(std::span<uint8_t> buffer, uint32_t& length) {
  std::lock_guard lock(arp_mutex_);
  if (arp_queue_.empty()) return false;
  const std::vector<uint8_t>& frame = arp_queue_.front();
  length = static_cast<uint32_t>(std::min(frame.size(), buffer.size()));
  std::copy_n(frame.begin(), length, buffer.begin());
  arp_queue_.pop_front();
  if (!arp_queue_.empty() && arp_event_ != nullptr) arp_event_->Signal();
  return true;
}

bool CorvidDriver::CorvidPutFrame(std::span<const uint8_t> frame) {
  if (fd_ < 0) return false;
  return ::write(fd_, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

void CorvidDriver::CorvidClose() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (frame_event_ != nullptr) frame_event_->Watch(-1);
  frame_event_ = nullptr;
  arp_event_ = nullptr;
  std::lock_guard lock(arp_mutex_);
  arp_queue_.clear();
}

}  // namespace velmora
