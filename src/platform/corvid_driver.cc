#include "platform/corvid_driver.h"

#include <fcntl.h>
#include <linux/bpf.h>
#include <linux/ethtool.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
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

// Attaches a new descriptor as one more queue of the multi-queue TAP device `name`; -1 unless
// the device it got is a persistent one (one that the attach itself created, in a race with its
// removal, is not).
int AttachQueue(const std::string& name) {
  const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  ifreq request = RequestFor(name);
  request.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_MULTI_QUEUE;
  ifreq attached{};
  if (::ioctl(fd, TUNSETIFF, &request) != 0 || ::ioctl(fd, TUNGETIFF, &attached) != 0 ||
      (attached.ifr_flags & IFF_PERSIST) == 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One frame from a queue of the TAP into `room`: its length, or -errno (-EAGAIN: none waits).
ssize_t ReadFrame(int fd, std::span<uint8_t> room) {
  for (;;) {
    const ssize_t length = ::read(fd, room.data(), room.size());
    if (length >= 0) return length;
    if (errno != EINTR) return -errno;
  }
}

// The program the TAP runs for every frame the kernel sends through it to choose the frame's
// queue: 1 (the ARP queue) for EtherType 0x0806, 0 (the frame queue) for the rest. Its
// descriptor, or -1 when the kernel refuses it.
int LoadArpSteering() {
  const bpf_insn program[] = {
      // r6 = the frame, where the absolute load takes it from.
      {.code = BPF_ALU64 | BPF_MOV | BPF_X, .dst_reg = BPF_REG_6, .src_reg = BPF_REG_1},
      {.code = BPF_LD | BPF_ABS | BPF_H, .imm = 12},  // r0 = the EtherType
      {.code = BPF_JMP | BPF_JNE | BPF_K, .dst_reg = BPF_REG_0, .off = 2, .imm = 0x0806},
      {.code = BPF_ALU64 | BPF_MOV | BPF_K, .dst_reg = BPF_REG_0, .imm = 1},
      {.code = BPF_JMP | BPF_EXIT},
      {.code = BPF_ALU64 | BPF_MOV | BPF_K, .dst_reg = BPF_REG_0, .imm = 0},
      {.code = BPF_JMP | BPF_EXIT},
  };
  bpf_attr attributes{};
  attributes.prog_type = BPF_PROG_TYPE_SOCKET_FILTER;
  attributes.insns = reinterpret_cast<uintptr_t>(program);
  attributes.insn_cnt = std::size(program);
  attributes.license = reinterpret_cast<uintptr_t>("GPL");
  return static_cast<int>(::syscall(SYS_bpf, BPF_PROG_LOAD, &attributes, sizeof attributes));
}

// Has the TAP of `queue` steer frames with `program` (-1: none, so that they spread by flow).
bool SetSteering(int queue, int program) {
  return ::ioctl(queue, TUNSETSTEERINGEBPF, &program) == 0;
}

// A claim on the adapter with interface index `index` for this process: an abstract local socket
// named after it, which exists once per network namespace and goes with the process however it
// ends. -1 when another process holds the claim.
int ClaimAdapter(uint32_t index) {
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "velmora-corvid-" + std::to_string(index);
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] 0: abstract
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
  ::close(fd);
  return -1;
}

std::string ErrnoText() {
  return std::strerror(errno);
}

std::optional<NetworkLink> LinkWithIndex(uint32_t index) {
  for (NetworkLink& link : ListNetworkLinks().value_or(std::vector<NetworkLink>{})) {
    if (link.index == index) return std::move(link);
  }
  return std::nullopt;
}

}  // namespace

FrameBatch::FrameBatch(size_t headroom)
    : headroom_(headroom),
      bytes_(std::make_unique_for_overwrite<uint8_t[]>(kDatagramBatch * (headroom + kFrameRoom))) {}

int CorvidDriver::CorvidOpen(std::string_view description) {
  CorvidClose();
  const auto links = ListNetworkLinks();
  if (!links) return Refuse("the interface list cannot be read: " + ErrnoText());
  const auto link = FindLinkByDescription(*links, description);
  if (!link) return Refuse("no interface has the adapter's alias");
  if (!IsTapDevice(link->name)) return Refuse(link->name + " is not a TAP device");
  claim_fd_ = ClaimAdapter(link->index);
  if (claim_fd_ < 0) return Refuse(link->name + " is in use by another router");
  frame_fd_ = AttachQueue(link->name);
  if (frame_fd_ < 0) {
    return Refuse(link->name + " cannot be attached (" + ErrnoText() +
                  "): run scripts/corvid-adapter add again to make it with several queues");
  }
  name_ = link->name;
  index_ = link->index;
  drops_at_open_ = link->transmit_drops;
  return frame_fd_;
}

int CorvidDriver::Refuse(std::string reason) {
  failure_ = std::move(reason);
  CorvidClose();
  return -1;
}

bool CorvidDriver::CorvidSetFrameEvent(DriverEvent& event) {
  if (frame_fd_ < 0 || !event.valid()) return false;
  event.Watch(frame_fd_);
  frame_event_ = &event;
  return true;
}

bool CorvidDriver::CorvidSetArpEvent(DriverEvent& event) {
  if (frame_fd_ < 0 || arp_fd_ >= 0 || !event.valid()) return false;
  // The steering first: while the frame queue is the only one, every frame stays in it, so that
  // no frame of either kind ever waits in the other's queue.
  const int program = LoadArpSteering();
  const bool steered = program >= 0 && SetSteering(frame_fd_, program);
  const std::string steering_error = ErrnoText();
  if (program >= 0) ::close(program);  // the device holds it now
  if (!steered) {
    Refuse("the kernel refused the ARP steering program (" + steering_error +
           "): the router needs root");
    return false;
  }
  arp_fd_ = AttachQueue(name_);
  if (arp_fd_ < 0) {
    Refuse(name_ + ": the ARP queue cannot be attached (" + ErrnoText() + ")");
    return false;
  }
  event.Watch(arp_fd_);
  arp_event_ = &event;
  return true;
}

bool CorvidDriver::CorvidGetFrame(std::span<uint8_t> buffer, uint32_t& length) {
  if (frame_fd_ < 0 || buffer.size() < FrameBatch::kFrameRoom) return false;
  const ssize_t read = ReadFrame(frame_fd_, buffer);
  if (read < 0) return false;
  length = static_cast<uint32_t>(read);
  return true;
}

int CorvidDriver::CorvidGetFrames(FrameBatch& batch) {
  batch.Clear();
  if (frame_fd_ < 0) return -EBADF;
  while (!batch.full()) {
    const ssize_t read = ReadFrame(frame_fd_, batch.next_room());
    if (read == -EAGAIN) break;
    // An error after some frames is met again by the next call.
    if (read < 0) return batch.size() > 0 ? static_cast<int>(batch.size()) : static_cast<int>(read);
    batch.Keep(static_cast<size_t>(read));
  }
  return static_cast<int>(batch.size());
}

int CorvidDriver::CorvidGetArp(std::span<uint8_t> buffer, uint32_t& length) {
  if (arp_fd_ < 0) return -EBADF;
  const ssize_t read = ReadFrame(arp_fd_, buffer);
  if (read == -EAGAIN) return 0;
  if (read < 0) return static_cast<int>(read);
  length = static_cast<uint32_t>(read);
  return 1;
}

bool CorvidDriver::CorvidPutFrame(std::span<const uint8_t> frame) {
  const int fd = arp_fd_ >= 0 ? arp_fd_ : frame_fd_;
  if (fd < 0) return false;
  return ::write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size());
}

void CorvidDriver::CorvidClose() {
  // The claim makes the router the device's only user: the steering is its own to remove.
  if (frame_fd_ >= 0) SetSteering(frame_fd_, -1);
  for (int* fd : {&arp_fd_, &frame_fd_, &claim_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  if (frame_event_ != nullptr) frame_event_->Watch(-1);
  if (arp_event_ != nullptr) arp_event_->Watch(-1);
  frame_event_ = nullptr;
  arp_event_ = nullptr;
}

uint64_t CorvidDriver::dropped() const {
  if (frame_fd_ < 0) return 0;
  const auto link = LinkWithIndex(index_);
  return link && link->transmit_drops > drops_at_open_ ? link->transmit_drops - drops_at_open_ : 0;
}

}  // namespace velmora
