// lnsd: runs the L2TP network server alone, for checking a LAC against it and for interop tests.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "lnsd/lnsd_options.h"
#include "lnsd/pcap_writer.h"

namespace {

void PrintStamped(const std::string& text) {
  static std::mutex mutex;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard<std::mutex> guard(mutex);
  // One line per text, without the line feeds the texts may end in.
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  std::printf("%s.%03lld %s\n", stamp, static_cast<long long>(millis), line.c_str());
  std::fflush(stdout);
}

std::atomic<uint64_t> packets{0}, bytes{0};

// Waits for SIGINT or SIGTERM, telling the users' traffic once a second while it changes.
int WaitForStop(const sigset_t& signals) {
  uint64_t told = 0;
  const timespec second{1, 0};
  for (;;) {
    const int signal_number = sigtimedwait(&signals, nullptr, &second);
    if (signal_number > 0) return signal_number;
    if (packets != told) {
      told = packets;
      PrintStamped("IP packets: " + std::to_string(told) + " (" + std::to_string(bytes) +
                   " bytes)");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  std::optional<velmora::lnsd::LnsdOptions> options =
      velmora::lnsd::ParseLnsdOptions({argv + 1, argv + argc}, error);
  if (!options) {
    std::fprintf(stderr, "lnsd: %s\n%s", error.c_str(), velmora::lnsd::LnsdUsage().c_str());
    return 2;
  }
  if (options->help) {
    std::printf("%s", velmora::lnsd::LnsdUsage().c_str());
    return 0;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // for every thread started from here

  options->params.window = PrintStamped;
  velmora::lnsd::PcapWriter pcap;
  if (!options->pcap_file.empty() && !pcap.Open(options->pcap_file)) {
    std::fprintf(stderr, "lnsd: cannot write %s\n", options->pcap_file.c_str());
    return 1;
  }
  const bool capture = !options->pcap_file.empty();
  options->params.callback = [&pcap, capture](const uint8_t* packet, uint32_t length) {
    ++packets;
    bytes += length;
    if (capture) pcap.Write({packet, length}, std::chrono::system_clock::now());
  };
  velmora::l2tp::CL2tp server;
  server.ReplaceUsers(options->users);
  server.ReplacePeers(options->peers);
  if (!server.SetParameters(options->params) || !server.Start()) {
    PrintStamped("Error: " + server.LastError());
    return 1;
  }
  const int signal_number = WaitForStop(signals);
  PrintStamped(std::string("Stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  server.Stop();
  while (server.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
