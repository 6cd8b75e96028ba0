#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bandwidth/bwc_transmitter.h"
#include "bandwidth/rate_meter.h"
#include "support/clock.h"
#include "support/loss_series.h"

namespace velmora {
class Log;
}

namespace velmora::TessaroBWControl {

// The paced sender: a thread of its own, from construction to destruction, that takes the next
// datagram the scheduler offers and sends it to the inserter, never more than one datagram beyond
// the rate limit over any stretch of one period (the meter's window), and spaced at that rate
// rather than in bursts; it polls in 1 ms sleeps while enabled and has a socket, and otherwise
// idles, waking at least once a second to log the losses that are due. The scheduler half (which
// datagram is next) is the derived controller's. Only the thread touches the transmitter, so a send
// holds no lock; a new destination is taken up at the thread's next pass. A derived class must call
// StartSending() at the end of its constructor, once the members the thread calls into exist, and
// StopSending() in its destructor, before its own members go. Any thread may call the setters.
class BWCSender {
 public:
  static constexpr uint32_t kNoDestination = 0xFFFFFFFF;
  static constexpr auto kPollPause = std::chrono::milliseconds(1);

  BWCSender(Clock& clock, Log& log, std::unique_ptr<BWCTransmitter> transmitter);
  virtual ~BWCSender();
  BWCSender(const BWCSender&) = delete;
  BWCSender& operator=(const BWCSender&) = delete;

  // `address` in network order; 255.255.255.255 means none, and nothing is sent.
  void SetDestination(uint32_t address, uint16_t port);
  // Disabling logs the count of failed sends not yet logged.
  void Enable(bool on);
  bool enabled() const { return enabled_; }
  uint32_t rate_limit() const { return rate_limit_; }

  virtual void SetPhysicalBandwidth(uint32_t value) = 0;
  virtual void SetBufferTime(uint32_t ms) = 0;
  // The length of the datagram that would go next, or 0 when none may go now.
  virtual uint32_t PeekPacketLength() = 0;
  // The datagram that goes next; empty when none may go now.
  virtual std::vector<uint8_t> PopPacket() = 0;

 protected:
  Clock& clock() { return clock_; }
  Log& log() { return log_; }
  void set_rate_limit(uint32_t value) { rate_limit_ = value; }
  // Launches the thread.
  void StartSending();
  // Ends the thread and closes the socket; idempotent.
  void StopSending();
  // Logs the counts of lost datagrams that no line carries yet: those a second old on every pass
  // of the thread, all of them when `ended` (sending was disabled). Any thread may call.
  virtual void ReportLosses(Clock::TimePoint now, bool ended);

 private:
  void Run();
  bool WaitForWork();
  // Opens the socket towards the destination last set; under the lock, on the thread.
  void TakeUpDestination();
  // One pass while enabled: sends at most one datagram; false when the thread should pause.
  bool SendNext();
  // Whether what was sent over the last period leaves room for one more datagram.
  bool PeriodHasRoom(Clock::TimePoint now);
  // Books the transmission time of `length` bytes at the rate limit.
  void BookSpacing(uint32_t length, Clock::TimePoint now);
  void Send(const std::vector<uint8_t>& datagram);

  Clock& clock_;
  Log& log_;
  std::mutex mutex_;  // the destination, the wake flag and the failed-send series
  std::condition_variable wake_cv_;
  bool wake_ = false;
  uint32_t address_ = kNoDestination;
  uint16_t port_ = 5150;
  bool destination_changed_ = false;
  LossSeries lost_;
  // The thread's own: the socket and whether it is open.
  std::unique_ptr<BWCTransmitter> transmitter_;
  bool has_socket_ = false;
  std::atomic<uint32_t> rate_limit_{0};
  std::atomic<bool> enabled_{false};
  std::atomic<bool> stop_{false};
  // What the thread sent over the last period, oldest first: the guard that no stretch of one
  // period ever carries more than the rate limit, whatever the meter's sampling allows.
  std::deque<std::pair<Clock::TimePoint, uint32_t>> recent_;
  uint64_t recent_bytes_ = 0;
  // When the next datagram may go at the earliest: datagrams leave spaced at the rate limit, with
  // a credit for a thread that fell behind (see BookSpacing) and none after an idle spell, so that
  // a window that has room never lets a backlog out at once.
  Clock::TimePoint next_send_{};
  bool backlogged_ = false;  // a datagram went and the queues have not run empty since
  std::thread thread_;
};

}  // namespace velmora::TessaroBWControl
