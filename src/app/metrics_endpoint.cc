#include "app/metrics_endpoint.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include "app/settings.h"
#include "app/status_refresher.h"
#include "stats/status_counters.h"

namespace velmora {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// One family of a single unlabelled sample.
MetricFamily Sample(const std::string& name, const std::string& help, MetricType type,
                    double value) {
  ClientMetric metric;
  (type == MetricType::Counter ? metric.counter.value : metric.gauge.value) = value;
  return {name, help, type, {metric}};
}

MetricFamily Gauge(const std::string& name, const std::string& help, double value) {
  return Sample(name, help, MetricType::Gauge, value);
}

// A gauge sample with one label.
ClientMetric Labelled(const std::string& label, const std::string& value, double figure) {
  ClientMetric metric;
  metric.label = {{label, value}};
  metric.gauge.value = figure;
  return metric;
}

// The status panel's counters, each a member of StatusCounters.
struct CounterEntry {
  const char* name;
  const char* help;
  std::atomic<uint32_t> StatusCounters::*member;
};

constexpr CounterEntry kCounters[] = {
    {"velmora_unicast_packets_total", "Unicast packets passed on.",
     &StatusCounters::unicast_packets},
    {"velmora_multicast_packets_total", "Multicast packets passed on.",
     &StatusCounters::multicast_packets},
    {"velmora_unicast_frames_total", "Unicast datagrams produced.",
     &StatusCounters::unicast_frames},
    {"velmora_multicast_frames_total", "Multicast datagrams produced.",
     &StatusCounters::multicast_frames},
    {"velmora_resolved_packets_total", "Frames whose PID lookup succeeded.",
     &StatusCounters::resolved_packets},
    {"velmora_resolution_failures_total", "Frames whose PID lookup failed.",
     &StatusCounters::resolution_failures},
    {"velmora_arp_requests_total", "ARP requests of the virtual adapter.",
     &StatusCounters::arp_requests},
    {"velmora_arp_answers_total", "ARP answers sent to the virtual adapter.",
     &StatusCounters::arp_answers},
    {"velmora_bad_packets_total", "Packets refused as malformed.", &StatusCounters::bad_packets},
};

void AddCounters(const StatusCounters& c, std::vector<MetricFamily>& out) {
  for (const CounterEntry& entry : kCounters) {
    out.push_back(Sample(entry.name, entry.help, MetricType::Counter, (c.*entry.member).load()));
  }
}

void AddRates(const StatusSnapshot& s, std::vector<MetricFamily>& out) {
  const std::string unit = " in kbit/s (bytes per two-second refresh / 256), as the status panel";
  out.push_back(Gauge("velmora_rate_kbps", "Total rate of the last refresh" + unit, s.total_kbps));
  out.push_back(Gauge("velmora_unicast_rate_kbps", "Unicast rate of the last refresh" + unit,
                      s.unicast_kbps));
  out.push_back(Gauge("velmora_multicast_rate_kbps", "Multicast rate of the last refresh" + unit,
                      s.multicast_kbps));
  out.push_back(
      Gauge("velmora_unicast_peak_rate_kbps", "Highest unicast rate" + unit, s.unicast_peak_kbps));
  out.push_back(Gauge("velmora_multicast_peak_rate_kbps", "Highest multicast rate" + unit,
                      s.multicast_peak_kbps));
  MetricFamily lamps{
      "velmora_source_active",
      "1 when the source delivered traffic in the last refresh period.",
      MetricType::Gauge,
      {Labelled("source", "external", s.external_lamp), Labelled("source", "routed", s.routed_lamp),
       Labelled("source", "internal", s.internal_lamp), Labelled("source", "l2tp", s.l2tp_lamp)}};
  out.push_back(std::move(lamps));
  out.push_back(Gauge("velmora_output_queue_depth",
                      "Datagrams waiting for the sending thread at the last refresh.",
                      s.output_queue_depth));
  out.push_back(Gauge("velmora_internal_warning",
                      "1 when the transparent port refused datagrams in the last refresh period.",
                      s.internal_warning_lamp));
}

void AddQos(const QosFigures& q, std::vector<MetricFamily>& out) {
  out.push_back(Gauge("velmora_qos_physical_bandwidth_bits_per_second",
                      "Physical bandwidth that bandwidth management shares out.",
                      q.physical_bandwidth));
  out.push_back(Gauge("velmora_qos_rate_bits_per_second", "Shaped rate of all addresses.",
                      static_cast<double>(q.statistics.current_total)));
  out.push_back(Gauge("velmora_qos_peak_rate_bits_per_second", "Highest shaped rate.",
                      static_cast<double>(q.statistics.peak_total)));
  out.push_back(
      Gauge("velmora_qos_addresses", "Addresses with a queue.", q.statistics.address_count));
  MetricFamily rate{"velmora_qos_profile_rate_bits_per_second",
                    "Rate of the profile's addresses.",
                    MetricType::Gauge,
                    {}};
  MetricFamily addresses{
      "velmora_qos_profile_addresses", "Addresses of the profile.", MetricType::Gauge, {}};
  MetricFamily share{"velmora_qos_profile_share_ratio",
                     "The profile's rate as a share of its summary bandwidth.",
                     MetricType::Gauge,
                     {}};
  MetricFamily dropped{"velmora_qos_profile_dropped",
                       "1 when an address of the profile dropped datagrams since the peaks' reset.",
                       MetricType::Gauge,
                       {}};
  for (const auto& [name, p] : q.statistics.profiles) {
    rate.metric.push_back(Labelled("profile", name, static_cast<double>(p.current)));
    addresses.metric.push_back(Labelled("profile", name, p.address_count));
    share.metric.push_back(Labelled("profile", name, p.share / 100.0));
    dropped.metric.push_back(Labelled("profile", name, p.dropped));
  }
  for (MetricFamily* family : {&rate, &addresses, &share, &dropped}) {
    out.push_back(std::move(*family));
  }
}

// A counter sample with one label.
ClientMetric LabelledCount(const std::string& label, const std::string& value, uint64_t count) {
  ClientMetric metric;
  metric.label = {{label, value}};
  metric.counter.value = static_cast<double>(count);
  return metric;
}

void AddL2tp(const L2tpFigures& l2tp, std::vector<MetricFamily>& out) {
  out.push_back(Gauge("velmora_l2tp_tunnels", "Tunnels the L2TP server holds.",
                      static_cast<double>(l2tp.tunnels)));
  out.push_back(Gauge("velmora_l2tp_sessions", "Sessions open in the L2TP server's tunnels.",
                      static_cast<double>(l2tp.sessions)));
  out.push_back({"velmora_l2tp_logins_total",
                 "PPP logins (PAP or CHAP) of the L2TP server, by result.",
                 MetricType::Counter,
                 {LabelledCount("result", "accepted", l2tp.logins_accepted),
                  LabelledCount("result", "refused", l2tp.logins_refused)}});
}

void AddDrops(const StatusCounters& c, const SourceDrops& drops, uint64_t output_drops,
              std::vector<MetricFamily>& out) {
  out.push_back(Sample("velmora_output_dropped_datagrams_total",
                       "Datagrams dropped on their way to the inserter: oversized or not sent.",
                       MetricType::Counter, static_cast<double>(output_drops)));
  out.push_back({"velmora_source_dropped_frames_total",
                 "Frames the sources dropped, by reason.",
                 MetricType::Counter,
                 {LabelledCount("reason", "oversized", c.oversized_drops.load()),
                  LabelledCount("reason", "traffic_limit", c.traffic_limit_drops.load()),
                  LabelledCount("reason", "adapter_transmit", drops.adapter_transmit),
                  LabelledCount("reason", "tap_ring", drops.tap_ring)}});
}

}  // namespace

// Builds the families at every scrape; called on the HTTP server's threads.
class MetricsEndpoint::Collector final : public prometheus::Collectable {
 public:
  explicit Collector(const MetricsSource& source) : source_(source) {}
  std::vector<MetricFamily> Collect() const override {
    const StatusSnapshot last = source_.refresher.last();
    std::vector<MetricFamily> out;
    out.push_back(Gauge("velmora_service_running", "1 while the service runs.",
                        source_.settings.StartListening != 0));
    AddCounters(source_.counters, out);
    AddRates(last, out);
    if (last.qos) AddQos(*last.qos, out);
    AddL2tp(source_.l2tp(), out);
    AddDrops(source_.counters, last.source_drops, source_.output_drops(), out);
    return out;
  }

 private:
  MetricsSource source_;
};

MetricsEndpoint::MetricsEndpoint(const MetricsSource& source, const std::string& address,
                                 uint16_t port)
    : collector_(std::make_shared<Collector>(source)),
      exposer_(std::make_unique<prometheus::Exposer>(address + ":" + std::to_string(port), 2)) {
  exposer_->RegisterCollectable(collector_);
}

MetricsEndpoint::~MetricsEndpoint() = default;

uint16_t MetricsEndpoint::port() const {
  const std::vector<int> ports = exposer_->GetListeningPorts();
  return ports.empty() ? 0 : static_cast<uint16_t>(ports.front());
}

}  // namespace velmora
