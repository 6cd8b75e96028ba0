#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "platform/datagram_batch.h"
#include "platform/driver_event.h"

namespace velmora {

// Room for up to kDatagramBatch frames read from the virtual adapter, allocated once: each slot
// keeps `headroom` bytes in front of its frame (where a source writes its header in place) and
// room for the largest frame the adapter can deliver, so that no frame is ever truncated. Owned
// by the thread that reads the frames.
class FrameBatch {
 public:
  // An adapter with the largest MTU (65,535) delivers frames of up to 65,549 bytes.
  static constexpr size_t kFrameRoom = 65552;

  explicit FrameBatch(size_t headroom);
  FrameBatch(const FrameBatch&) = delete;
  FrameBatch& operator=(const FrameBatch&) = delete;

  size_t headroom() const { return headroom_; }
  size_t size() const { return count_; }
  // Frame `i` with the headroom in front of it.
  std::span<uint8_t> slot(size_t i) { return {start(i), headroom_ + lengths_[i]}; }
  std::span<uint8_t> frame(size_t i) { return {start(i) + headroom_, lengths_[i]}; }

  // For the driver: where the next frame goes, and its keeping.
  std::span<uint8_t> next_room() { return {start(count_) + headroom_, kFrameRoom}; }
  void Keep(size_t length) { lengths_[count_++] = length; }
  void Clear() { count_ = 0; }

 private:
  uint8_t* start(size_t i) { return bytes_.get() + i * (headroom_ + kFrameRoom); }

  size_t headroom_;
  std::unique_ptr<uint8_t[]> bytes_;
  std::array<size_t, kDatagramBatch> lengths_{};
  size_t count_ = 0;
};

// The virtual adapter's driver: a persistent TAP device that an install script created and named
// by its interface alias. The operations are those a source of routed traffic needs: attach,
// register the frame and ARP events, take frames, take ARP frames, put a frame back.
//
// Queues: ARP frames (EtherType 0x0806) are kept apart from the rest. The frame queue is the
// TAP's own queue in the kernel, bounded by the device's txqueuelen (the kernel counts what it
// drops there as the device's tx drops); the frame event watches the descriptor, so it stays
// signalled while frames wait there. The ARP queue is the driver's: the frame reader diverts ARP
// frames into it, at most kArpQueueLimit at a time (the rest are counted in arp_drops), and the
// ARP event is signalled while it is not empty, once per frame taken. So one frame per wake-up
// never strands frames, and a Signal from the stop ends either wait.
//
// Threads: the control thread opens, registers and closes; one thread (the frame reader) calls
// CorvidGetFrame/CorvidGetFrames, another may call CorvidGetArp and CorvidPutFrame meanwhile.
class CorvidDriver {
 public:
  static constexpr size_t kArpQueueLimit = 256;
  static constexpr uint16_t kArpEtherType = 0x0806;

  CorvidDriver() = default;
  ~CorvidDriver() { CorvidClose(); }
  CorvidDriver(const CorvidDriver&) = delete;
  CorvidDriver& operator=(const CorvidDriver&) = delete;

  // Attaches to the existing TAP device whose alias contains `description` (never creating
  // one), non-blocking: its descriptor, or -1 when there is none or it cannot be attached.
  int CorvidOpen(std::string_view description);
  // The events, each valid; false when the driver is not open or the event is not valid.
  bool CorvidSetFrameEvent(DriverEvent& event);
  bool CorvidSetArpEvent(DriverEvent& event);
  // One frame into `buffer`: true with `length` set when one was taken. The buffer must hold
  // FrameBatch::kFrameRoom bytes, so that no frame is ever cut; a smaller one is refused.
  bool CorvidGetFrame(std::span<uint8_t> buffer, uint32_t& length);
  // The frames waiting now, up to a full batch (cleared first): how many, or -errno when the
  // device failed (a device removed under the driver, for example).
  int CorvidGetFrames(FrameBatch& batch);
  // One ARP frame into `buffer` (cut to its size): true with `length` set when one waited.
  bool CorvidGetArp(std::span<uint8_t> buffer, uint32_t& length);
  // Delivers `frame` to the system as if received on the adapter; false when it was refused.
  bool CorvidPutFrame(std::span<const uint8_t> frame);
  // Detaches; the handle is invalid afterwards. The events stay the caller's.
  void CorvidClose();

  int handle() const { return fd_; }
  uint64_t arp_drops() const { return arp_drops_.load(std::memory_order_relaxed); }

 private:
  // Reads one frame into `room`: its length, 0 for an ARP frame that was diverted, or -errno.
  long ReadOne(std::span<uint8_t> room);
  void QueueArp(std::span<const uint8_t> frame);

  int fd_ = -1;
  DriverEvent* frame_event_ = nullptr;
  DriverEvent* arp_event_ = nullptr;
  std::mutex arp_mutex_;
  std::deque<std::vector<uint8_t>> arp_queue_;
  std::atomic<uint64_t> arp_drops_{0};
};

}  // namespace velmora
