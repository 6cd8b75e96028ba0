#include "app/service_controller.h"
#include "stats/traffic_statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/configuration.h"
#include "app/control_loop.h"
#include "app/settings.h"
#include "app/status_refresher.h"
#include "packet/service_source.h"
#include "platform/address_text.h"
#include "platform/file_system.h"
#include "stats/status_counters.h"
#include "support/cerrorcode.h"
#include "support/event.h"
#include "support/log.h"
#include "support/operator_prompt.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

// A source with one thread that waits on its event until the running flag falls.
class ThreadSource : public ServiceSource {
 public:
  ThreadSource(Settings& settings, Clock& clock) : settings_(settings), wake_(clock) {}
  std::string_view name() const override { return "test"; }
  bool Enabled() const override { return enabled; }
  void Launch() override {
    if (fail_with != 0) throw cerrorcode(fail_with);
    thread_ = std::thread([this] {
      ++alive;
      while (settings_.StartListening != 0) wake_.Wait();
      --alive;
    });
  }
  void Wake() override { wake_.Signal(); }
  void Join() override {
    if (thread_.joinable()) thread_.join();
  }
  bool enabled = true;
  int32_t fail_with = 0;
  std::atomic<int> alive{0};

 private:
  Settings& settings_;
  Event wake_;
  std::thread thread_;
};

// A source that counts one last packet as its thread ends, as a source winding down does.
class LastPacketSource : public ServiceSource {
 public:
  explicit LastPacketSource(TrafficStatistics& statistics) : statistics_(statistics) {}
  std::string_view name() const override { return "last packet"; }
  bool Enabled() const override { return true; }
  void Launch() override {}
  void Join() override { statistics_.CountPacket(DottedToAddress("10.0.0.9"), 100); }

 private:
  TrafficStatistics& statistics_;
};

class RecordingPrompt : public OperatorPrompt {
 public:
  PromptAnswer Ask(const PromptRequest& r) override {
    titles.push_back(r.title);
    return r.default_answer;
  }
  std::vector<std::string> titles;
};

class ControllerTest : public ::testing::Test {
 protected:
  SimulatedClock clock_;
  MemoryFileSystem files_;
  Log log_;
  Settings settings_;
  Configuration config_{files_, log_};
  StatusCounters counters_;
  StatusRefresher refresher_{counters_, log_, clock_};
  RecordingPrompt prompt_;
  TrafficStatistics statistics_{files_, clock_, log_, LocalFileTimeNow()};
  ServiceController controller_{
      {settings_, config_, log_, clock_, prompt_, refresher_, statistics_}};
  ThreadSource source_{settings_, clock_};
};

TEST_F(ControllerTest, HundredStartsAndStopsLeaveNoThread) {
  controller_.AddSource(&source_);
  for (int i = 0; i < 100; ++i) {
    controller_.ServiceStart();
    EXPECT_TRUE(controller_.running());
    EXPECT_TRUE(controller_.menu_running());
    controller_.ServiceStop();
    EXPECT_FALSE(controller_.running());
    EXPECT_FALSE(controller_.menu_running());
    ASSERT_EQ(source_.alive, 0);
  }
  EXPECT_NE(files_.ReadFile("velmora.ini")->find("StartListening=1"), std::string::npos);
}

TEST_F(ControllerTest, TwentyCyclesOnTheRealClock) {
  StatusRefresher refresher(counters_, log_, RealClock());
  ServiceController controller(
      {settings_, config_, log_, RealClock(), prompt_, refresher, statistics_});
  ThreadSource source(settings_, RealClock());
  controller.AddSource(&source);
  for (int i = 0; i < 20; ++i) {
    controller.ServiceStart();
    controller.ServiceStop();
    ASSERT_EQ(source.alive, 0);
  }
}

TEST_F(ControllerTest, PortInUseUndoesTheStart) {
  ThreadSource first(settings_, clock_);
  source_.fail_with = cerrorcode::kPortInUse;
  controller_.AddSource(&first);
  controller_.AddSource(&source_);
  controller_.ServiceStart();
  EXPECT_EQ(first.alive, 0);
  EXPECT_FALSE(controller_.running());
  EXPECT_FALSE(controller_.menu_running());
  EXPECT_EQ(prompt_.titles, std::vector<std::string>{"Start service error"});
  source_.fail_with = 0;
  controller_.ServiceStart();
  EXPECT_TRUE(controller_.menu_running());
  controller_.ServiceStop();
}

TEST_F(ControllerTest, OtherSocketErrorsLeaveTheServiceRunning) {
  source_.fail_with = 10054;
  controller_.AddSource(&source_);
  controller_.ServiceStart();
  EXPECT_TRUE(controller_.menu_running());
  EXPECT_TRUE(prompt_.titles.empty());
  controller_.ServiceStop();
}

TEST_F(ControllerTest, ASourceLeftOutIsLaunchedOnceAfterTheStart) {
  source_.enabled = false;
  controller_.AddSource(&source_);
  int shaping_starts = 0, shaping_stops = 0;
  // Shaping that fails as the service starts asks for the source before the start chose it.
  controller_.set_shaping(
      [&] {
        ++shaping_starts;
        controller_.LaunchIfIdle(&source_);
      },
      [&] { ++shaping_stops; });
  controller_.ServiceStart();
  EXPECT_EQ(shaping_starts, 1);
  EXPECT_EQ(source_.alive, 0);
  controller_.LaunchIfIdle(&source_);
  controller_.LaunchIfIdle(&source_);
  EXPECT_TRUE(testing::WaitFor([&] { return source_.alive == 1; }));
  controller_.ServiceStop();
  EXPECT_EQ(source_.alive, 0);
  EXPECT_EQ(shaping_stops, 1);
  controller_.LaunchIfIdle(&source_);  // stopped: nothing
  EXPECT_EQ(source_.alive, 0);
}

TEST_F(ControllerTest, TheStatisticFileHoldsWhatTheSourcesCountedWhileTheyStopped) {
  settings_.StatisticFile = "stat.log";
  LastPacketSource source(statistics_);
  controller_.AddSource(&source);
  controller_.ServiceStart();
  controller_.ServiceStop();
  EXPECT_NE(files_.ReadFile("stat.log").value_or("").find("\r\n10.0.0.9 1 100 "),
            std::string::npos);
}

TEST_F(ControllerTest, DisabledSourceLaunchesNothing) {
  source_.enabled = false;
  controller_.AddSource(&source_);
  controller_.ServiceStart();
  EXPECT_EQ(source_.alive, 0);
  controller_.ServiceStop();
}

class RecordingView : public StatusView {
 public:
  void ShowStatus(const StatusSnapshot& s) override {
    std::lock_guard<std::mutex> g(mutex);
    shown.push_back(s);
  }
  void ShowStopped() override { stopped = true; }
  std::mutex mutex;
  std::vector<StatusSnapshot> shown;
  std::atomic<bool> stopped{false};
};

TEST_F(ControllerTest, RefresherComputesRatesPeaksAndClearsFlags) {
  int ticks = 0;
  refresher_.AddTick([&] { ++ticks; });
  counters_.unicast_bytes = 256 * 250;
  counters_.multicast_bytes = 256 * 10;
  counters_.internal_warning = true;
  StatusSnapshot s = refresher_.Refresh();
  EXPECT_EQ(s.unicast_kbps, 250u);
  EXPECT_EQ(s.total_kbps, 260u);
  EXPECT_TRUE(s.status_lamp);
  EXPECT_TRUE(s.internal_lamp && s.internal_warning_lamp);
  counters_.unicast_bytes = 256 * 100;
  s = refresher_.Refresh();
  EXPECT_EQ(s.unicast_kbps, 100u);
  EXPECT_EQ(s.unicast_peak_kbps, 250u);
  EXPECT_FALSE(s.internal_lamp);
  EXPECT_EQ(ticks, 2);
}

TEST_F(ControllerTest, RefresherRunsEveryPeriodUntilStopped) {
  RecordingView view;
  refresher_.set_view(&view);
  std::atomic<bool> exiting{false};
  refresher_.Start(&exiting);
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clock_.Advance(StatusRefresher::kPeriod);
  }
  refresher_.Stop();
  refresher_.Join();
  EXPECT_GE(view.shown.size(), 2u);
  EXPECT_TRUE(view.stopped);
}

TEST(ControlLoopTest, TasksRunInOrderOnTheLoopThreadAndWaitersAreReleased) {
  ControlLoop loop;
  std::vector<int> order;
  std::thread runner([&] { loop.Run(); });
  std::vector<std::thread> posters;
  for (int i = 0; i < 4; ++i) {
    posters.emplace_back([&, i] { EXPECT_TRUE(loop.PostAndWait([&, i] { order.push_back(i); })); });
  }
  for (auto& p : posters) p.join();
  EXPECT_EQ(order.size(), 4u);
  loop.Post([&] { loop.Quit(); });
  runner.join();
  EXPECT_FALSE(loop.PostAndWait([] {}));
}

// The window's menu runs on the loop's thread: its Start, Stop or Close runs at once, also from
// inside a task.
TEST(ControlLoopTest, ACallOnTheLoopsOwnThreadRunsAtOnce) {
  ControlLoop loop;
  std::vector<std::string> order;
  std::thread runner([&] { loop.Run(); });
  EXPECT_TRUE(loop.PostAndWait([&] {
    order.push_back("menu");
    EXPECT_TRUE(loop.PostAndWait([&] { order.push_back("start"); }));
    order.push_back("menu done");
  }));
  EXPECT_EQ(order, (std::vector<std::string>{"menu", "start", "menu done"}));
  loop.Post([&] {
    loop.Quit();
    EXPECT_FALSE(loop.PostAndWait([&] { order.push_back("after the exit"); }));
  });
  runner.join();
  EXPECT_EQ(order.size(), 3u);
}

// A message box shown during a start runs an event loop of its own on the loop's thread: a stop
// that a remote session posted meanwhile waits until the start is over.
TEST(ControlLoopTest, AnEventLoopNestedInATaskRunsNoWaitingTask) {
  ControlLoop loop;
  std::vector<std::string> order;
  std::thread runner([&] { loop.Run(); });
  EXPECT_TRUE(loop.PostAndWait([&] {
    order.push_back("start");
    loop.Post([&] { order.push_back("remote stop"); });
    loop.RunPending();  // the message box's event loop
    order.push_back("start done");
  }));
  EXPECT_TRUE(loop.PostAndWait([] {}));
  EXPECT_EQ(order, (std::vector<std::string>{"start", "start done", "remote stop"}));
  loop.Post([&] { loop.Quit(); });
  runner.join();
}

TEST(ControlLoopTest, AnotherEventLoopRunsTheWaitingTasksInOrder) {
  ControlLoop loop;
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) loop.Post([&, i] { order.push_back(i); });
  loop.RunPending();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  loop.RunPending();
  EXPECT_EQ(order.size(), 3u);
}

}  // namespace
}  // namespace velmora
