#include "bandwidth/bwc_sender.h"

#include <pthread.h>

#include <string>

#include "support/log.h"

namespace velmora::TessaroBWControl {

namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);
// How far the spacing may fall behind and catch up: a few polls after a pause of the queues (a
// queue waiting for its rate to fall should not lose the time to its spacing), and more while a
// backlog runs, for a thread that was woken late or not scheduled for a while (tens of
// milliseconds on a busy two-core machine). What any period may carry stays bounded by the
// period's own check.
constexpr auto kPauseCredit = std::chrono::milliseconds(5);
constexpr auto kBacklogCredit = std::chrono::milliseconds(50);

}  // namespace

BWCSender::BWCSender(Clock& clock, Log& log, std::unique_ptr<BWCTransmitter> transmitter)
    : clock_(clock),
      log_(log),
      lost_(log, " datagram(s) lost"),
      transmitter_(std::move(transmitter)) {}

void BWCSender::StartSending() {
  thread_ = std::thread([this] { Run(); });
  pthread_setname_np(thread_.native_handle(), "bwc-sender");
}

BWCSender::~BWCSender() {
  StopSending();
}

void BWCSender::StopSending() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
    wake_ = true;
  }
  wake_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BWCSender::SetDestination(uint32_t address, uint16_t port) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (address == address_ && port == port_) return;
    address_ = address;
    port_ = port;
    destination_changed_ = true;
    wake_ = true;
  }
  wake_cv_.notify_all();
}

void BWCSender::Enable(bool on) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    enabled_ = on;
    wake_ = true;
  }
  wake_cv_.notify_all();
  if (!on) ReportLosses(clock_.Now(), true);
}

void BWCSender::ReportLosses(Clock::TimePoint now, bool ended) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (ended) {
    lost_.Flush(now);
  } else {
    lost_.Tick(now);
  }
}

void BWCSender::Run() {
  while (WaitForWork()) {
    if (!SendNext()) clock_.SleepFor(kPollPause);
    ReportLosses(clock_.Now(), false);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  lost_.Flush(clock_.Now());
  transmitter_->Close();
  has_socket_ = false;
}

bool BWCSender::WaitForWork() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    clock_.WaitUntil(lock, wake_cv_, clock_.Now() + kIdleWait, [this] { return wake_; });
    if (stop_) return false;
    if (destination_changed_) TakeUpDestination();
    if (enabled_ && has_socket_) return true;
    wake_ = false;  // idle until the next setter
    lost_.Flush(clock_.Now());
    // Losses counted elsewhere go on being logged while nothing is sent.
    lock.unlock();
    ReportLosses(clock_.Now(), false);
    lock.lock();
  }
}

void BWCSender::TakeUpDestination() {
  destination_changed_ = false;
  transmitter_->Close();
  has_socket_ = address_ != kNoDestination && transmitter_->Open(address_, port_);
  if (!has_socket_) transmitter_->Close();
}

bool BWCSender::SendNext() {
  const Clock::TimePoint now = clock_.Now();
  // The sender's own limits first: a poll that could not send leaves the queues alone.
  if (now < next_send_ || !PeriodHasRoom(now)) return false;
  // The period check is the rate limit over the meter's window, kept exactly on the send times;
  // the meter's coarser samples would hold back a thread that catches up after waking late.
  if (PeekPacketLength() == 0) {
    backlogged_ = false;
    return false;
  }
  const std::vector<uint8_t> datagram = PopPacket();
  if (datagram.empty()) return false;
  if (!stop_) Send(datagram);
  const Clock::TimePoint sent = clock_.Now();
  recent_.emplace_back(sent, static_cast<uint32_t>(datagram.size()));
  recent_bytes_ += datagram.size();
  BookSpacing(static_cast<uint32_t>(datagram.size()), now);
  return true;
}

void BWCSender::BookSpacing(uint32_t length, Clock::TimePoint now) {
  const uint64_t limit = std::max<uint32_t>(rate_limit_, 1);
  // A thread that fell behind catches up; after an idle spell the spacing starts anew from now,
  // so that traffic then never leaves in a burst.
  const bool catch_up = now - next_send_ <= (backlogged_ ? kBacklogCredit : kPauseCredit);
  const Clock::TimePoint from = catch_up ? next_send_ : now;
  next_send_ = from + std::chrono::nanoseconds(uint64_t{length} * 8 * 1'000'000'000 / limit);
  backlogged_ = true;
}

bool BWCSender::PeriodHasRoom(Clock::TimePoint now) {
  while (!recent_.empty() && now - recent_.front().first >= BWCRateMeter::kPeriod) {
    recent_bytes_ -= recent_.front().second;
    recent_.pop_front();
  }
  // Below the rate limit's share of a period, one more datagram may go: no period ever carries
  // more than that share and one datagram, and a backlog is never held a datagram short of it.
  constexpr uint64_t kPeriodMs = std::chrono::milliseconds(BWCRateMeter::kPeriod).count();
  return recent_bytes_ * 8 * 1000 < uint64_t{rate_limit_} * kPeriodMs;
}

void BWCSender::Send(const std::vector<uint8_t>& datagram) {
  const int32_t code = transmitter_->Send(datagram);
  if (code == 0) return;
  // A failed datagram is not retried; the failures are reported as a series.
  std::lock_guard<std::mutex> guard(mutex_);
  lost_.Count(clock_.Now(), [code] { return "sendto() failed; " + std::to_string(code) + "; "; });
}

}  // namespace velmora::TessaroBWControl
