// The metrics endpoint's cost to the packet path: the transparent port's highest rate without loss
// or reordering (as transparent_throughput_bench finds it; loss and order judged at the receiver by
// sequence numbers), with the endpoint open, once without scrapes and once while a client scrapes
// it 100 times a second (one HTTP/1.1 connection per scrape, as a Prometheus server makes). The two
// are measured interleaved, one run of each per round, best of the rounds. Target: with scrapes at
// most 5 % below the rate without them.
//
// usage: metrics_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (S: each full throughput trial; N: rounds; defaults: 10 s, 3 rounds, 100 and 1400 bytes)

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "loopback_tcp.h"
#include "throughput_trial.h"
#include "transparent_load.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage = "metrics_bench [--seconds S] [--runs N] [--sizes 100,1400]";
constexpr double kScrapingTarget = 0.95;
constexpr auto kScrapeInterval = std::chrono::milliseconds(10);

// One scrape of /metrics; true when the answer was 200 OK.
bool ScrapeOnce(uint16_t port) {
  const int fd = Connect(port);
  if (fd < 0) return false;
  const std::string request =
      "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string answer;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    char block[65536];
    for (ssize_t n; (n = ::recv(fd, block, sizeof block, 0)) > 0;) answer.append(block, n);
  }
  ::close(fd);
  return answer.rfind("HTTP/1.1 200", 0) == 0;
}

// A thread that scrapes the endpoint every kScrapeInterval until it goes. Owned by the main thread.
class Scraper {
 public:
  explicit Scraper(uint16_t port)
      : thread_([this, port] {
          auto next = std::chrono::steady_clock::now();
          while (!stop_) {
            if (ScrapeOnce(port)) ++scrapes_;
            next += kScrapeInterval;
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~Scraper() {
    stop_ = true;
    thread_.join();
  }
  uint64_t scrapes() const { return scrapes_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> scrapes_{0};
  std::thread thread_;
};

// The router relaying the transparent port with its metrics endpoint open, scraped or not. Owned
// by the main thread.
class ScrapedRouterRelay final : public RelayUnderTest {
 public:
  ScrapedRouterRelay(size_t size, uint16_t receiver_port, bool scraping)
      : transparent_port_(LoopbackUdp::FreePort()),
        metrics_port_(FreeTcpPort()),
        relay_("velmora_metrics_bench",
               TransparentRouterIni(
                   transparent_port_, receiver_port,
                   "RemoteControlOn=0\nMetricsPort=" + std::to_string(metrics_port_) + "\n"),
               LoopbackUdp::Loopback(transparent_port_), TransparentDatagram(size)) {
    if (!AwaitServer(metrics_port_)) std::exit(1);
    if (scraping) scraper_ = std::make_unique<Scraper>(metrics_port_);
  }

  pid_t pid() const override { return relay_.pid(); }
  PacedSender& sender() override { return relay_.sender(); }
  std::string note() const override {
    return scraper_ != nullptr ? ", " + std::to_string(scraper_->scrapes()) + " scrapes" : "";
  }

 private:
  uint16_t transparent_port_;
  uint16_t metrics_port_;
  RouterRelay<LoopbackUdp> relay_;
  std::unique_ptr<Scraper> scraper_;
};

RelayFactory Relay(bool scraping) {
  return [scraping](size_t size, uint16_t receiver_port) {
    return std::make_unique<ScrapedRouterRelay>(size, receiver_port, scraping);
  };
}

void CompareScraping(const ThroughputOptions& options) {
  std::printf(
      "transparent port, metrics endpoint open: highest rate without loss or reordering over "
      "%.0f s, interleaved, best of %d\n",
      options.seconds, options.runs);
  ThroughputOptions one_run = options;
  one_run.runs = 1;
  for (const size_t size : options.sizes) {
    Measurement quiet;
    Measurement scraped;
    for (int round = 1; round <= options.runs; ++round) {
      std::printf(" round %d\n", round);
      const Measurement q = BestOf("velmora", size, size, Relay(false), one_run);
      const Measurement s = BestOf("velmora, 100 scrapes/s", size, size, Relay(true), one_run);
      if (q.rate > quiet.rate) quiet = q;
      if (s.rate > scraped.rate) scraped = s;
    }
    PrintBest("velmora", size, quiet);
    PrintBest("velmora, 100 scrapes/s", size, scraped);
    const double ratio = scraped.rate / quiet.rate;
    std::printf("%4zu bytes  with / without scrapes: %.2f (target %.2f) %s\n", size, ratio,
                kScrapingTarget, ratio >= kScrapingTarget ? "met" : "MISSED");
    std::fflush(stdout);
  }
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  using namespace velmora::bench;
  CompareScraping(ParseThroughputOptions(argc, argv, kUsage));
  return 0;
}
