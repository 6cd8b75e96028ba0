// lnsd: runs the L2TP network server alone, for checking a LAC against it and for interop tests.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "lnsd/lnsd_options.h"

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
  velmora::l2tp::CL2tp server;
  server.ReplaceUsers(options->users);
  server.ReplacePeers(options->peers);
  if (!server.SetParameters(options->params) || !server.Start()) {
    PrintStamped("Error: " + server.LastError());
    return 1;
  }
  int signal_number = 0;
  sigwait(&signals, &signal_number);
  PrintStamped(std::string("Stopping on ") + (signal_number == SIGINT ? "SIGINT" : "SIGTERM"));
  server.Stop();
  while (server.IsRunning()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
