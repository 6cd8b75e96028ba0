#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace velmora {

// Turns SIGINT and SIGTERM into a call on a thread of its own, so that the control thread can end
// the router in order. Construct it before any other thread exists: it blocks the two signals for
// the whole process. Owned by main.
class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void()> on_signal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  // Blocks SIGINT and SIGTERM in the calling thread and those it creates; ignores SIGPIPE.
  static void BlockSignals();

 private:
  void Watch();

  std::function<void()> on_signal_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace velmora
