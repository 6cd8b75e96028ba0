#include "app/service_notifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/control_loop.h"
#include "platform/service_manager.h"
#include "support/log.h"
#include "testing/list_console.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// Records what the router tells the service manager; any thread may read.
class RecordingManager final : public ServiceManager {
 public:
  explicit RecordingManager(std::chrono::microseconds watchdog) : watchdog_(watchdog) {}
  void Notify(const std::string& state) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(state);
  }
  std::chrono::microseconds WatchdogInterval() const override { return watchdog_; }
  std::vector<std::string> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  int count(const std::string& state) const {
    const std::vector<std::string> all = sent();
    return static_cast<int>(std::count(all.begin(), all.end(), state));
  }

 private:
  std::chrono::microseconds watchdog_;
  mutable std::mutex mutex_;
  std::vector<std::string> sent_;
};

class ServiceNotifierTest : public ::testing::Test {
 protected:
  ServiceNotifierTest() { log_.SetConsoleTarget(&console_); }

  ServiceNotifier::Probe Probe() {
    return {.service_running = [this] { return running_.load(); },
            .last_refresh = [this] { return last_refresh_; },
            .status = [this] { return running_ ? std::string("running") : "stopped"; }};
  }

  SimulatedClock clock_;
  Log log_{clock_};
  testing::ListConsole console_;
  ControlLoop loop_;
  RecordingManager manager_{std::chrono::microseconds(30s)};
  std::atomic<bool> running_{true};
  Clock::TimePoint last_refresh_ = clock_.Now();
};

TEST(ServiceNotifierRule, FeedsWhileStoppedOrRefreshedWithinTenSeconds) {
  const Clock::TimePoint now = Clock::TimePoint(100s);
  EXPECT_TRUE(ServiceNotifier::MayFeedWatchdog(true, now, now - 9999ms));
  EXPECT_FALSE(ServiceNotifier::MayFeedWatchdog(true, now, now - 10s));
  EXPECT_FALSE(ServiceNotifier::MayFeedWatchdog(true, now, Clock::TimePoint{}));
  EXPECT_TRUE(ServiceNotifier::MayFeedWatchdog(false, now, now - 60s));
}

TEST_F(ServiceNotifierTest, ReadyCarriesTheStatusAndFeedsTheWatchdog) {
  ServiceNotifier notifier(&manager_, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  notifier.AnnounceStopping();
  EXPECT_EQ(manager_.sent(), (std::vector<std::string>{"READY=1\nSTATUS=running", "WATCHDOG=1",
                                                       "STOPPING=1\nSTATUS=Exiting"}));
}

TEST_F(ServiceNotifierTest, WithholdsTheWatchdogWhileTheConsoleThreadIsStale) {
  ServiceNotifier notifier(&manager_, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  clock_.Advance(9s);
  notifier.Check();
  EXPECT_EQ(manager_.count("WATCHDOG=1"), 2);
  clock_.Advance(1s);
  notifier.Check();
  EXPECT_EQ(manager_.count("WATCHDOG=1"), 2);
  EXPECT_TRUE(console_.Has("watchdog withheld"));
  last_refresh_ = clock_.Now();
  notifier.Check();
  EXPECT_EQ(manager_.count("WATCHDOG=1"), 3);
  notifier.AnnounceStopping();
}

TEST_F(ServiceNotifierTest, AStoppedServiceStillFeedsTheWatchdog) {
  running_ = false;
  ServiceNotifier notifier(&manager_, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  clock_.Advance(60s);
  notifier.Check();
  EXPECT_EQ(manager_.count("WATCHDOG=1"), 2);
  notifier.AnnounceStopping();
}

TEST_F(ServiceNotifierTest, StatusChangesAreSentOnce) {
  ServiceNotifier notifier(&manager_, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  running_ = false;
  notifier.Check();
  notifier.Check();
  EXPECT_EQ(manager_.count("STATUS=stopped"), 1);
  notifier.AnnounceStopping();
}

TEST_F(ServiceNotifierTest, TheTimerChecksOnTheControlLoopAtHalfTheWatchdogInterval) {
  RecordingManager manager(std::chrono::microseconds(1s));
  std::atomic<int> posts{0};
  loop_.set_wakeup([&] { ++posts; });
  ServiceNotifier notifier(&manager, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  for (int i = 0; i < 1000 && posts == 0; ++i) {
    clock_.Advance(100ms);
    last_refresh_ = clock_.Now();
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GT(posts.load(), 0);
  EXPECT_EQ(manager.count("WATCHDOG=1"), 1);  // the check waits for the loop
  loop_.RunPending();
  EXPECT_EQ(manager.count("WATCHDOG=1"), 2);
  notifier.AnnounceStopping();
}

TEST_F(ServiceNotifierTest, WithoutAServiceManagerNothingHappens) {
  ServiceNotifier notifier(nullptr, loop_, clock_, log_, Probe());
  notifier.AnnounceReady();
  notifier.Check();
  notifier.AnnounceStopping();
}

}  // namespace
}  // namespace velmora
