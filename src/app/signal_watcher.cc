#include "app/signal_watcher.h"

#include <csignal>
#include <ctime>

namespace velmora {
namespace {

sigset_t ExitSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void SignalWatcher::BlockSignals() {
  const sigset_t set = ExitSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void()> on_signal) : on_signal_(std::move(on_signal)) {
  BlockSignals();
  thread_ = std::thread([this] { Watch(); });
}

SignalWatcher::~SignalWatcher() {
  stopping_ = true;
  thread_.join();
}

void SignalWatcher::Watch() {
  const sigset_t set = ExitSignals();
  const timespec poll{0, 100'000'000};
  bool signalled = false;
  while (!stopping_) {
    if (sigtimedwait(&set, nullptr, &poll) > 0 && !signalled) {
      signalled = true;  // a second signal while the exit runs changes nothing
      on_signal_();
    }
  }
}

}  // namespace velmora
