#include "bandwidth/bwc_sender.h"

#include "support/log.h"

namespace velmora::TessaroBWControl {

namespace {

constexpr auto kIdleWait = std::chrono::seconds(1);

}  // namespace

BWCSender::BWCSender(Clock& clock, Log& log, std::unique_ptr<BWCTransmitter> transmitter)
    : clock_(clock), log_(log), transmitter_(std::move(transmitter)), meter_(clock.Now()) {
  thread_ = std::thread([this] { Run(); });
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
    transmitter_->Close();
    has_socket_ = address != kNoDestination && transmitter_->Open(address, port);
    if (address != kNoDestination && !has_socket_) transmitter_->Close();
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
}

void BWCSender::Run() {
  while (WaitForWork()) {
    if (!SendNext()) clock_.SleepFor(kPollPause);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  transmitter_->Close();
  has_socket_ = false;
}

bool BWCSender::WaitForWork() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    clock_.WaitUntil(lock, wake_cv_, clock_.Now() + kIdleWait, [this] { return wake_; });
    if (stop_) return false;
    if (enabled_ && has_socket_) return true;
    wake_ = false;  // idle until the next setter
  }
}

bool BWCSender::SendNext() {
  const uint32_t length = PeekPacketLength();
  if (length == 0) return false;
  if (meter_.RateWith(length, clock_.Now()) > rate_limit_) return false;
  const std::vector<uint8_t> datagram = PopPacket();
  if (datagram.empty()) return false;
  if (!stop_) Send(datagram);
  meter_.Record(datagram.size(), clock_.Now());
  return true;
}

void BWCSender::Send(const std::vector<uint8_t>& datagram) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!has_socket_) return;
  const int32_t code = transmitter_->Send(datagram);
  if (code == 0) return;
  // A failed datagram is not retried; the failures are reported at most once a second.
  ++failures_;
  const Clock::TimePoint now = clock_.Now();
  if (last_failure_log_ && now - *last_failure_log_ < std::chrono::seconds(1)) return;
  log_ << "sendto() failed; " << code << "; " << static_cast<int32_t>(failures_)
       << " datagram(s) lost\n";
  last_failure_log_ = now;
  failures_ = 0;
}

}  // namespace velmora::TessaroBWControl
