#include "app/status_refresher.h"

#include "stats/status_counters.h"
#include "support/log.h"

namespace velmora {
namespace {

uint32_t RaisePeak(std::atomic<uint32_t>& peak, uint32_t rate) {
  if (rate >= peak.load()) peak.store(rate);
  return peak.load();
}

}  // namespace

StatusRefresher::StatusRefresher(StatusCounters& counters, Log& log, Clock& clock)
    : counters_(counters), log_(log), clock_(clock), stop_(clock) {}

StatusRefresher::~StatusRefresher() {
  if (thread_.joinable()) {
    Stop();
    thread_.join();
  }
}

void StatusRefresher::AddTick(std::function<void()> tick) {
  ticks_.push_back(std::move(tick));
}

void StatusRefresher::Start(const std::atomic<bool>* exiting) {
  Join();
  thread_ = std::thread([this, exiting] { Run(exiting); });
}

void StatusRefresher::Join() {
  if (thread_.joinable()) thread_.join();
}

void StatusRefresher::ResetPeaks() {
  unicast_peak_.store(0);
  multicast_peak_.store(0);
  std::lock_guard lock(last_mutex_);
  last_.unicast_peak_kbps = 0;
  last_.multicast_peak_kbps = 0;
}

void StatusRefresher::ClearRates() {
  std::lock_guard lock(last_mutex_);
  last_.total_kbps = 0;
  last_.unicast_kbps = 0;
  last_.multicast_kbps = 0;
}

StatusSnapshot StatusRefresher::Refresh() {
  StatusSnapshot s;
  if (qos_source_) s.qos = qos_source_();
  s.unicast_packets = counters_.unicast_packets.load();
  s.multicast_packets = counters_.multicast_packets.load();
  s.status_lamp = counters_.unicast_bytes.load() != 0 || counters_.multicast_bytes.load() != 0;
  s.external_lamp = counters_.external_active.exchange(false);
  s.routed_lamp = counters_.routed_active.exchange(false);
  const bool internal = counters_.internal_active.exchange(false);
  s.internal_warning_lamp = counters_.internal_warning.exchange(false);
  s.internal_lamp = internal || s.internal_warning_lamp;
  s.l2tp_lamp = tunnel_probe_ && tunnel_probe_();
  const uint32_t unicast_bytes = counters_.unicast_bytes.exchange(0);
  const uint32_t multicast_bytes = counters_.multicast_bytes.exchange(0);
  s.total_kbps = (unicast_bytes + multicast_bytes) >> 8;
  s.unicast_kbps = unicast_bytes >> 8;
  s.multicast_kbps = multicast_bytes >> 8;
  s.unicast_peak_kbps = RaisePeak(unicast_peak_, s.unicast_kbps);
  s.multicast_peak_kbps = RaisePeak(multicast_peak_, s.multicast_kbps);
  s.arp_requests = counters_.arp_requests.load();
  s.resolution_failures = counters_.resolution_failures.load();
  if (queue_probe_) s.output_queue_depth = static_cast<uint32_t>(queue_probe_());
  if (drop_probe_) s.source_drops = drop_probe_();
  for (const auto& tick : ticks_) tick();
  last_refresh_time_.store(clock_.Now().time_since_epoch().count());
  std::lock_guard lock(last_mutex_);
  last_ = s;
  return s;
}

StatusSnapshot StatusRefresher::last() const {
  std::lock_guard lock(last_mutex_);
  return last_;
}

void StatusRefresher::ShowRemoteLamp(int value) {
  if (view_ != nullptr) view_->ShowRemoteLamp(value);
}

void StatusRefresher::Run(const std::atomic<bool>* exiting) {
  if (log_.level() >= 3) log_ << "View thread is started\n";
  if (on_start_) on_start_();
  do {
    const StatusSnapshot snapshot = Refresh();
    if (view_ != nullptr) view_->ShowStatus(snapshot);
  } while (!stop_.WaitFor(kPeriod));
  ClearRates();  // nothing flows while the service is stopped
  if (view_ != nullptr && (exiting == nullptr || !exiting->load())) view_->ShowStopped();
  if (log_.level() >= 3) log_ << "!!Viewer thread exited...\n";
}

}  // namespace velmora
