#pragma once

namespace velmora {

// An auto-reset event that a thread can wait on together with a driver's descriptor: Wait returns
// when the event was signalled (clearing it) or when the watched descriptor has something to read
// (leaving the descriptor as it is, so the event stays signalled while data waits there). Backed
// by an eventfd so that both can be polled at once. Any thread may signal; one thread waits.
class DriverEvent {
 public:
  DriverEvent();
  ~DriverEvent();
  DriverEvent(const DriverEvent&) = delete;
  DriverEvent& operator=(const DriverEvent&) = delete;

  // False when the system refused the eventfd: such an event cannot be registered.
  bool valid() const { return fd_ >= 0; }
  void Signal();
  // The descriptor whose readability also ends a wait; -1 to watch none.
  void Watch(int fd) { watched_ = fd; }
  void Wait();
  // Wait for at most `limit_ms` milliseconds: false when it timed out.
  bool WaitAtMost(int limit_ms);
  // Clears the event without waiting.
  void Reset();
  // Whether a Wait would return now, without waiting and without clearing the event.
  bool Ready() const;

 private:
  struct Readiness {
    bool signalled = false;
    bool watched = false;
  };
  // Polls the event and the watched descriptor for up to `timeout_ms` (-1: without end).
  Readiness Poll(int timeout_ms) const;

  int fd_;
  int watched_ = -1;
};

}  // namespace velmora
