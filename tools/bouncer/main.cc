// bouncer: repeats UDP streams. Reads bouncer.ini (or the file given with --config) once, and for
// every active link receives its stream and repeats each datagram's payload to the link's
// destination, or wraps it for the data inserter. Logs to standard output and ends on SIGTERM or
// SIGINT.

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bouncer/link_config.h"
#include "bouncer/link_relay.h"
#include "ini/stdini.h"
#include "platform/file_system.h"

namespace {

void Say(const std::string& line) {
  std::printf("bouncer: %s\n", line.c_str());
  std::fflush(stdout);
}

// A descriptor that becomes readable when SIGTERM or SIGINT arrives; both are blocked and taken
// back to their default first, whatever the starting process left them as.
int SignalDescriptor() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  return signalfd(-1, &stop, SFD_CLOEXEC);
}

std::vector<std::unique_ptr<velmora::LinkRelay>> OpenRelays(const velmora::stdini& ini) {
  const velmora::BouncerLinks config = velmora::ReadBouncerLinks(ini);
  for (const std::string& problem : config.problems) Say(problem + ": link skipped");
  std::vector<std::unique_ptr<velmora::LinkRelay>> relays;
  for (const velmora::BouncerLink& link : config.links) {
    std::string problem;
    auto relay = velmora::LinkRelay::Open(link, Say, problem);
    if (!relay) {
      Say("link " + std::to_string(link.number) + ": " + problem + ": link skipped");
      continue;
    }
    Say(relay->Describe());
    relays.push_back(std::move(relay));
  }
  return relays;
}

// Runs every link on a thread of its own until SIGTERM or SIGINT, then stops and joins them.
void Run(const std::vector<std::unique_ptr<velmora::LinkRelay>>& relays, int signal_fd) {
  std::vector<std::thread> threads;
  for (const auto& relay : relays) threads.emplace_back([&relay] { relay->Run(); });
  signalfd_siginfo signal{};
  while (::read(signal_fd, &signal, sizeof signal) < 0 && errno == EINTR) {
  }
  for (const auto& relay : relays) relay->Stop();
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  std::string config = "bouncer.ini";
  if (argc == 3 && std::string(argv[1]) == "--config") {
    config = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: bouncer [--config FILE]   (default bouncer.ini)\n");
    return 2;
  }
  // Standard output may be the router's and outlive it: a write to a closed one must not end this.
  signal(SIGPIPE, SIG_IGN);
  const int signal_fd = SignalDescriptor();
  velmora::PosixFileSystem files;
  velmora::stdini ini(files);
  if (!ini.Load(config)) {
    Say("cannot read " + config);
    return 1;
  }
  const auto relays = OpenRelays(ini);
  Say("started with " + std::to_string(relays.size()) + " link(s) from " + config);
  Run(relays, signal_fd);
  for (const auto& relay : relays) {
    Say(relay->Describe() + ": " + std::to_string(relay->repeated()) + " repeated, " +
        std::to_string(relay->dropped()) + " dropped");
  }
  Say("ended");
  return 0;
}
