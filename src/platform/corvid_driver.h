#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

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
  bool full() const { return count_ == kDatagramBatch; }
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

// The virtual adapter's driver: a persistent multi-queue TAP device that an install script
// created and named by its interface alias. The operations are those a source of routed traffic
// needs: attach, register the frame and ARP events, take frames, take ARP frames, put a frame back.
//
// Queues: the driver attaches two queues of the TAP and has the kernel steer every ARP frame
// (EtherType 0x0806) into the second and every other frame into the first, so that the two kinds
// wait apart and are read independently: a frame reader that is busy or blocked never delays an
// ARP answer. Both queues are the kernel's, bounded by the device's txqueuelen; what they drop the
// kernel counts as the device's transmit drops, which `dropped` reports since the attach. Each
// event watches its queue's descriptor, so it stays signalled while frames wait there and one
// frame per wake-up never strands any; a Signal from the stop ends either wait.
//
// Threads: the control thread opens, registers and closes; one thread reads frames
// (CorvidGetFrame/CorvidGetFrames) while another reads ARP frames and puts frames back.
class CorvidDriver {
 public:
  CorvidDriver() = default;
  ~CorvidDriver() { CorvidClose(); }
  CorvidDriver(const CorvidDriver&) = delete;
  CorvidDriver& operator=(const CorvidDriver&) = delete;

  // Attaches the frame queue of the existing TAP device whose alias contains `description`
  // (never creating one), non-blocking: its descriptor, or -1 when there is none, another router
  // holds it or it cannot be attached (a TAP made without several queues, for one); `failure`
  // says which. The driver is the device's only user while open: a second driver for it, in this
  // process or another, is refused.
  int CorvidOpen(std::string_view description);
  // The events, each valid; false when the driver is not open or the event is not valid. The ARP
  // event's registration sets the kernel's steering and attaches the ARP queue: when the kernel
  // refuses either, false with the driver closed and `failure` saying why.
  bool CorvidSetFrameEvent(DriverEvent& event);
  bool CorvidSetArpEvent(DriverEvent& event);
  // One frame into `buffer`: true with `length` set when one was taken. The buffer must hold
  // FrameBatch::kFrameRoom bytes, so that no frame is ever cut; a smaller one is refused.
  bool CorvidGetFrame(std::span<uint8_t> buffer, uint32_t& length);
  // The frames waiting now, up to a full batch (cleared first): how many, or -errno when the
  // device failed (a device removed under the driver, for example).
  int CorvidGetFrames(FrameBatch& batch);
  // One ARP frame into `buffer`: 1 with `length` set when one waited, 0 when none did, -errno
  // when the device failed (removed under the driver, for example).
  int CorvidGetArp(std::span<uint8_t> buffer, uint32_t& length);
  // Delivers `frame` to the system as if received on the adapter; false when it was refused.
  bool CorvidPutFrame(std::span<const uint8_t> frame);
  // Detaches both queues; the handle is invalid afterwards. The events stay the caller's.
  void CorvidClose();

  int handle() const { return frame_fd_; }
  // Why the last open or ARP registration failed.
  const std::string& failure() const { return failure_; }
  // Frames the adapter's queues dropped since the attach; 0 while detached.
  uint64_t dropped() const;

 private:
  // Closes what is open and keeps `reason` as the failure: -1.
  int Refuse(std::string reason);

  int claim_fd_ = -1;
  int frame_fd_ = -1;
  int arp_fd_ = -1;
  std::string name_;
  uint32_t index_ = 0;
  std::string failure_;
  uint64_t drops_at_open_ = 0;
  DriverEvent* frame_event_ = nullptr;
  DriverEvent* arp_event_ = nullptr;
};

}  // namespace velmora
