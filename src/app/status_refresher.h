#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bandwidth/bwc_controller.h"
#include "support/clock.h"
#include "support/event.h"

namespace velmora {

class Log;
struct StatusCounters;

// Bandwidth management's figures for the QoS panel.
struct QosFigures {
  TessaroBWControl::BWCStatistics statistics;
  uint32_t physical_bandwidth = 0;  // bit/s
};

// What one status refresh shows.
// Drops that only the console thread reads from their sources, once per refresh.
struct SourceDrops {
  uint64_t adapter_transmit = 0;  // the virtual adapter's queues, since its attach
  uint64_t tap_ring = 0;          // the tap's capture rings (PylonCounts), over all kinds
};

struct StatusSnapshot {
  std::optional<QosFigures> qos;  // while bandwidth management runs
  uint32_t unicast_packets = 0;
  uint32_t multicast_packets = 0;
  bool status_lamp = false;
  bool external_lamp = false;
  bool routed_lamp = false;
  bool internal_lamp = false;
  bool internal_warning_lamp = false;
  bool l2tp_lamp = false;  // the LNS holds a tunnel
  uint32_t total_kbps = 0;
  uint32_t unicast_kbps = 0;
  uint32_t multicast_kbps = 0;
  uint32_t unicast_peak_kbps = 0;
  uint32_t multicast_peak_kbps = 0;
  uint32_t arp_requests = 0;
  uint32_t resolution_failures = 0;
  uint32_t output_queue_depth = 0;  // datagrams waiting for the sending thread
  SourceDrops source_drops;
};

// Draws the snapshots: the window's status panel. Called from the console thread.
class StatusView {
 public:
  virtual ~StatusView() = default;
  virtual void ShowStatus(const StatusSnapshot& snapshot) = 0;
  // The service stopped: rates and counters at zero, Status lamp off.
  virtual void ShowStopped() = 0;
  // The "RCmd" lamp: 100 while a remote-control session is open, 0 otherwise. Called from the
  // remote-control session threads.
  virtual void ShowRemoteLamp(int /*value*/) {}
};

// The console thread: every two seconds it reads and zeroes the byte counters, computes the rates
// and peaks, clears the activity flags, runs the periodic ticks and hands a snapshot to the view.
// Started and joined by the control thread; the peaks may be reset from any thread.
class StatusRefresher {
 public:
  static constexpr auto kPeriod = std::chrono::milliseconds(2000);

  StatusRefresher(StatusCounters& counters, Log& log, Clock& clock);
  ~StatusRefresher();

  void set_view(StatusView* view) { view_ = view; }
  // Work done at every refresh after the counters, such as the statistics' tick.
  void AddTick(std::function<void()> tick);
  // Work the thread does once when it starts, before its first refresh: the multicast joins.
  void set_on_start(std::function<void()> work) { on_start_ = std::move(work); }
  // Bandwidth management's figures, none while it is off; read first in every refresh. The
  // console thread is the one caller, since reading them consumes the queues' dropped flags.
  void set_qos_source(std::function<std::optional<QosFigures>()> source) {
    qos_source_ = std::move(source);
  }
  // How many datagrams wait in the output queue; read once per refresh, so that no reader of the
  // snapshot takes the queue's lock.
  void set_queue_probe(std::function<size_t()> probe) { queue_probe_ = std::move(probe); }
  // The sources' drops that only their drivers know; read once per refresh, so that a scrape
  // never asks the kernel nor takes a capture's lock.
  void set_drop_probe(std::function<SourceDrops()> probe) { drop_probe_ = std::move(probe); }
  // Tells whether the LNS holds a tunnel, for the L2TP lamp.
  void set_tunnel_probe(std::function<bool()> probe) { tunnel_probe_ = std::move(probe); }

  // Launches the thread (joining one that has ended). It refreshes at once and then after every
  // period until Stop; `exiting` tells it not to clear the view at the end.
  void Start(const std::atomic<bool>* exiting);
  // Makes the thread refresh once more, then end. Also works before Start: then the next thread
  // refreshes once and ends.
  void Stop() { stop_.Signal(); }
  void Join();
  // Zeroes the peaks, the ones of the last refresh included.
  void ResetPeaks();

  // One refresh, as the thread makes it.
  StatusSnapshot Refresh();
  // What the last refresh showed; any thread may ask.
  StatusSnapshot last() const;
  // When the last refresh was made, on the clock given; the clock's epoch before the first.
  Clock::TimePoint last_refresh_time() const {
    return Clock::TimePoint(Clock::Duration(last_refresh_time_.load()));
  }
  // The remote-control lamp: 100 while a session is open, 0 after the last one ended.
  void ShowRemoteLamp(int value);

 private:
  void Run(const std::atomic<bool>* exiting);
  // Zeroes the rates of the last refresh: at the thread's end, so that a stopped service shows
  // none.
  void ClearRates();

  StatusCounters& counters_;
  Log& log_;
  Clock& clock_;
  std::atomic<Clock::Duration::rep> last_refresh_time_{0};
  Event stop_;
  StatusView* view_ = nullptr;
  std::vector<std::function<void()>> ticks_;
  std::function<void()> on_start_;
  std::function<bool()> tunnel_probe_;
  std::function<size_t()> queue_probe_;
  std::function<SourceDrops()> drop_probe_;
  std::function<std::optional<QosFigures>()> qos_source_;
  std::atomic<uint32_t> unicast_peak_{0};
  std::atomic<uint32_t> multicast_peak_{0};
  mutable std::mutex last_mutex_;
  StatusSnapshot last_;
  std::thread thread_;
};

}  // namespace velmora
