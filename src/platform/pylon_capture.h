#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <pcap/pcap.h>

#include "platform/driver_event.h"

namespace velmora {

// The room a source gives each tapped frame; a longer frame is reported by its length.
inline constexpr size_t kPylonFrameRoom = 16384;

// What a capture counted since it was opened and filtered: frames its filter admitted, and of
// those the ones its ring had no room for.
struct PylonCaptureCounts {
  uint32_t received = 0;
  uint32_t dropped = 0;
};

// One libpcap capture handle of the tap on an interface: inbound only, promiscuous, immediate,
// non-blocking and close-on-exec, its filter run by the kernel alone. A capture whose interface
// disappears (a NIC unplugged, a device deleted) reports it once and is opened again by name
// when its reader next comes, which the event then wakes every second until the interface is
// back; its counts go on from where they were, and its owner hears of it (the interface is a new
// one, with its offloads and memberships at their defaults).
//
// Threads: the control thread opens, filters, registers the event and closes; one reader thread
// takes frames and reopens; any thread may inject and read the counts. A lock keeps them apart:
// libpcap's handle state is not safe for concurrent use.
class PylonCapture {
 public:
  using Report = std::function<void(std::string_view line)>;
  // Called by the reader that opened the capture again, under the capture's lock.
  using Reopened = std::function<void()>;

  PylonCapture() = default;
  ~PylonCapture() { Close(); }
  PylonCapture(const PylonCapture&) = delete;
  PylonCapture& operator=(const PylonCapture&) = delete;

  // Opens on `interface` with a ring of `ring_bytes`, taking every frame until the first filter
  // (ForgetUnfiltered discards those); false with the reason reported. `kind` names the frames in
  // the reports ("IPv4").
  bool Open(
      std::string interface, std::string_view kind, int ring_bytes, Report report,
      Reopened reopened = [] {});
  // Attaches the compiled `expression`, kept for a reopening (checked by compiling it while the
  // interface is away); false when it does not compile or the kernel refused it (the capture
  // keeps its last one).
  bool SetFilter(const std::string& expression);
  // Discards what was taken before the first filter, and what was counted meanwhile.
  void ForgetUnfiltered();
  // The event that the capture's descriptor wakes; false when closed or invalid.
  bool Watch(DriverEvent& event);
  // One frame of EtherType `type` into `buffer` (its start when it is longer), `length` its size;
  // a frame the capture cut is reported as longer than the buffer. False when none waits, while
  // the interface is away, when closed, or after passing over a round of frames of other types
  // (the caller comes back for the rest).
  bool Take(uint16_t type, std::span<uint8_t> buffer, uint32_t& length);
  bool Inject(std::span<const uint8_t> frame);
  // None while closed.
  std::optional<PylonCaptureCounts> Counts();
  void Close();
  // The capture's selectable descriptor; -1 while closed or away.
  int descriptor();

 private:
  // The counts of the live handle since its filter; zero when there is none.
  PylonCaptureCounts LiveCounts();
  // The handle failed: reports why, keeps its counts and lets the event wake every second.
  void Lose();
  // Opens the handle again while its interface is away: whether it is back.
  bool Reopen();
  // Opens, filters and drains a handle on the interface; null with the reason in `failure` when
  // it cannot be opened now. `interface_away` tells whether the reason is that the interface is
  // missing or down.
  pcap_t* OpenHandle(std::string& failure, bool& interface_away);

  std::mutex lock_;
  std::string interface_;
  std::string kind_;
  int ring_bytes_ = 0;
  Report report_ = [](std::string_view) {};
  Reopened reopened_ = [] {};
  bool reopen_failure_reported_ = false;  // a failure other than the interface's absence
  std::string filter_;                    // the expression last set
  pcap_t* handle_ = nullptr;
  DriverEvent* event_ = nullptr;
  pcap_stat before_filter_{};     // what the live handle counted before its first filter
  PylonCaptureCounts carried_{};  // what handles lost earlier counted
  bool open_ = false;             // opened and not closed, whether live or away
  int retry_timer_ = -1;          // while away: a timerfd that wakes the reader every second
};

}  // namespace velmora
