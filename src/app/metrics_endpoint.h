#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

namespace velmora {

struct StatusCounters;
class StatusRefresher;
struct Settings;

// The LNS's atomic counts, read without its lock.
struct L2tpFigures {
  size_t tunnels = 0;
  size_t sessions = 0;
  uint64_t logins_accepted = 0;
  uint64_t logins_refused = 0;
};

// The figures a scrape reads: the console thread's last snapshot and the atomic counters, never
// bandwidth management or the output queue, so that a scrape takes no lock the packet path waits
// on.
struct MetricsSource {
  const Settings& settings;
  const StatusRefresher& refresher;
  const StatusCounters& counters;
  std::function<L2tpFigures()> l2tp;       // the atomic counts the LNS keeps
  std::function<uint64_t()> output_drops;  // the output queue's atomic drop total
};

// The Prometheus endpoint (GET /metrics, text exposition format): the status panel's counters and
// rates, the QoS panel's per-profile figures and the LNS's tunnels, sessions and logins. Opened and
// closed by the control thread; scrapes are served by the HTTP server's own threads.
class MetricsEndpoint {
 public:
  // Listens on `address`:`port` (port 0: one the system chooses). Throws std::exception when the
  // port cannot be opened.
  MetricsEndpoint(const MetricsSource& source, const std::string& address, uint16_t port);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  uint16_t port() const;

 private:
  class Collector;
  std::shared_ptr<Collector> collector_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace velmora
