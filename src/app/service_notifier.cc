#include "app/service_notifier.h"

#include "app/control_loop.h"
#include "platform/service_manager.h"
#include "support/log.h"

namespace velmora {

bool ServiceNotifier::MayFeedWatchdog(bool service_running, Clock::TimePoint now,
                                      Clock::TimePoint last_refresh) {
  return !service_running || now - last_refresh < kStaleRefresh;
}

ServiceNotifier::ServiceNotifier(ServiceManager* manager, ControlLoop& loop, Clock& clock, Log& log,
                                 Probe probe)
    : manager_(manager),
      loop_(loop),
      clock_(clock),
      log_(log),
      probe_(std::move(probe)),
      stop_(clock) {}

ServiceNotifier::~ServiceNotifier() {
  StopTimer();
}

Clock::Duration ServiceNotifier::CheckPeriod() const {
  const Clock::Duration half_watchdog = manager_->WatchdogInterval() / 2;
  if (half_watchdog <= Clock::Duration::zero()) return kStatusPeriod;
  return std::min<Clock::Duration>(half_watchdog, kStatusPeriod);
}

void ServiceNotifier::AnnounceReady() {
  if (manager_ == nullptr) return;
  last_status_ = probe_.status();
  manager_->Notify("READY=1\nSTATUS=" + last_status_);
  checking_ = true;
  FeedWatchdog();
  const Clock::Duration period = CheckPeriod();
  timer_ = std::thread([this, period] { RunTimer(period); });
}

void ServiceNotifier::AnnounceStopping() {
  if (manager_ == nullptr) return;
  StopTimer();
  checking_ = false;
  manager_->Notify("STOPPING=1\nSTATUS=Exiting");
}

void ServiceNotifier::Check() {
  check_posted_ = false;
  if (!checking_) return;
  const std::string status = probe_.status();
  if (status != last_status_) {
    last_status_ = status;
    manager_->Notify("STATUS=" + status);
  }
  FeedWatchdog();
}

void ServiceNotifier::FeedWatchdog() {
  if (manager_->WatchdogInterval().count() == 0) return;
  const Clock::TimePoint now = clock_.Now();
  const Clock::TimePoint last_refresh = probe_.last_refresh();
  const bool feed = MayFeedWatchdog(probe_.service_running(), now, last_refresh);
  if (feed) manager_->Notify("WATCHDOG=1");
  if (feed == withholding_) {
    withholding_ = !feed;
    log_ << (feed ? "The console thread refreshes again: watchdog fed\n"
                  : "!The console thread has not refreshed for 10 s: watchdog withheld\n");
  }
}

void ServiceNotifier::RunTimer(Clock::Duration period) {
  while (!stop_.WaitFor(period)) {
    // One check waits at a time: a control thread that hangs gets no pile of them.
    if (check_posted_.exchange(true)) continue;
    if (!loop_.Post([this] { Check(); })) return;
  }
}

void ServiceNotifier::StopTimer() {
  if (!timer_.joinable()) return;
  stop_.Signal();
  timer_.join();
}

}  // namespace velmora
