#include "app/service_controller.h"
#include "stats/traffic_statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

// The phases that sources and the console thread went through, in order; any thread adds.
class Journal {
 public:
  void Add(std::string line) {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(std::move(line));
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
};

// A source that writes each phase it gets into the journal.
class JournalSource : public ServiceSource {
 public:
  JournalSource(std::string name, Journal& journal) : name_(std::move(name)), journal_(journal) {}
  std::string_view name() const override { return name_; }
  bool Enabled() const override { return true; }
  void OpenDriver() override { journal_.Add(name_ + " open"); }
  void Launch() override { journal_.Add(name_ + " launch"); }
  void Wake() override { journal_.Add(name_ + " wake"); }
  void Join() override { journal_.Add(name_ + " join"); }

 private:
  std::string name_;
  Journal& journal_;
};

TEST_F(ControllerTest, ASourceThatOpensFirstStillLaunchesInItsPlace) {
  Journal journal;
  JournalSource first("first", journal);
  JournalSource early("early", journal);
  controller_.AddSource(&first);
  controller_.AddSource(&early);
  controller_.OpenBeforeOthers(&early);
  controller_.ServiceStart();
  EXPECT_EQ(journal.Take(),
            (std::vector<std::string>{"early open", "first open", "first launch", "early launch"}));
  controller_.ServiceStop();
  EXPECT_EQ(journal.Take(),
            (std::vector<std::string>{"first wake", "early wake", "first join", "early join"}));
}

TEST_F(ControllerTest, TheConsoleThreadsStartWorkFollowsTheOpeningAndItsGroupsGoAfterItEnded) {
  Journal journal;
  JournalSource source("source", journal);
  controller_.AddSource(&source);
  std::promise<void> started;
  refresher_.set_on_start([&] {
    journal.Add("join groups");
    started.set_value();
  });
  controller_.set_drop_memberships([&] { journal.Add("drop groups"); });
  controller_.ServiceStart();
  started.get_future().wait();
  controller_.ServiceStop();
  const std::vector<std::string> lines = journal.Take();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines.front(), "source open");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "join groups"), lines.end());
  EXPECT_EQ(lines[4], "source join");
  EXPECT_EQ(lines.back(), "drop groups");
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

TEST_F(ControllerTest, AStoppedRefresherShowsNoRateAndAResetShowsNoPeak) {
  counters_.unicast_bytes = 256 * 250;
  counters_.multicast_bytes = 256 * 10;
  refresher_.Stop();
  refresher_.Start(nullptr);  // refreshes once and ends
  refresher_.Join();
  const StatusSnapshot stopped = refresher_.last();
  EXPECT_EQ(stopped.total_kbps, 0u);
  EXPECT_EQ(stopped.unicast_kbps, 0u);
  EXPECT_EQ(stopped.multicast_kbps, 0u);
  EXPECT_EQ(stopped.unicast_peak_kbps, 250u);
  refresher_.ResetPeaks();
  EXPECT_EQ(refresher_.last().unicast_peak_kbps, 0u);
  EXPECT_EQ(refresher_.last().multicast_peak_kbps, 0u);
}

TEST_F(ControllerTest, BandwidthFiguresAreReadFirstInEveryRefreshWhileShapingRuns) {
  EXPECT_FALSE(refresher_.Refresh().qos.has_value());
  std::vector<std::string> order;
  refresher_.AddTick([&] { order.push_back("tick"); });
  refresher_.set_qos_source([&]() -> std::optional<QosFigures> {
    order.push_back("figures");
    QosFigures figures;
    figures.statistics.profiles["Gold"].current = 500000;
    figures.physical_bandwidth = 2000000;
    return figures;
  });
  const StatusSnapshot s = refresher_.Refresh();
  ASSERT_TRUE(s.qos.has_value());
  EXPECT_EQ(s.qos->statistics.profiles.at("Gold").current, 500000u);
  EXPECT_EQ(s.qos->physical_bandwidth, 2000000u);
  EXPECT_EQ(order, (std::vector<std::string>{"figures", "tick"}));
}

TEST_F(ControllerTest, TheL2tpLampShowsWhetherTheLnsHoldsATunnel) {
  EXPECT_FALSE(refresher_.Refresh().l2tp_lamp);
  bool tunnel = true;
  refresher_.set_tunnel_probe([&] { return tunnel; });
  EXPECT_TRUE(refresher_.Refresh().l2tp_lamp);
  tunnel = false;
  EXPECT_FALSE(refresher_.Refresh().l2tp_lamp);
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

// Long enough for a loaded machine: a call still blocked then has wedged the loop.
constexpr auto kWedged = std::chrono::seconds(20);

// Makes `call` on a thread of its own and returns what it returned, or none when it is still
// blocked after kWedged. A wedged call fails the test, and the loop quits to release it; one that
// even that leaves blocked ends the test program rather than letting it hang.
template <typename Call>
std::optional<bool> Bounded(ControlLoop& loop, Call call) {
  std::future<bool> result = std::async(std::launch::async, std::move(call));
  if (result.wait_for(kWedged) == std::future_status::ready) return result.get();
  ADD_FAILURE() << "the control loop is wedged";
  loop.Quit();
  if (result.wait_for(kWedged) != std::future_status::ready) {
    std::fprintf(stderr, "The control loop stays wedged after Quit\n");
    std::fflush(nullptr);
    std::abort();
  }
  return std::nullopt;
}

TEST(ControlLoopTest, TasksRunInOrderOnTheLoopThreadAndWaitersAreReleased) {
  ControlLoop loop;
  std::vector<int> order;
  std::thread runner([&] { loop.Run(); });
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Bounded(loop, [&, i] { return loop.PostAndWait([&, i] { order.push_back(i); }); }),
              true);
  }
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
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
  EXPECT_EQ(Bounded(loop,
                    [&] {
                      return loop.PostAndWait([&] {
                        order.push_back("menu");
                        EXPECT_TRUE(loop.PostAndWait([&] { order.push_back("start"); }));
                        order.push_back("menu done");
                      });
                    }),
            true);
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
  EXPECT_EQ(Bounded(loop,
                    [&] {
                      return loop.PostAndWait([&] {
                        order.push_back("start");
                        loop.Post([&] { order.push_back("remote stop"); });
                        loop.RunPending();  // the message box's event loop
                        order.push_back("start done");
                      });
                    }),
            true);
  EXPECT_EQ(Bounded(loop, [&] { return loop.PostAndWait([] {}); }), true);
  EXPECT_EQ(order, (std::vector<std::string>{"start", "start done", "remote stop"}));
  loop.Post([&] { loop.Quit(); });
  runner.join();
}

// How a window's event loop learns of work: a wake-up after every post, on the posting thread,
// and one after the quit; busy tells any thread that a task runs.
TEST(ControlLoopTest, WakeUpsFollowEveryPostAndTheQuitAndBusyShowsARunningTask) {
  ControlLoop loop;
  std::atomic<int> wakeups{0};
  loop.set_wakeup([&] { ++wakeups; });
  std::thread([&] { loop.Post([] {}); }).join();
  EXPECT_EQ(wakeups, 1);
  std::atomic<bool> busy_seen{false};
  loop.Post([&] { std::thread([&] { busy_seen = loop.busy(); }).join(); });
  EXPECT_FALSE(loop.busy());
  loop.RunPending();
  EXPECT_TRUE(busy_seen);
  EXPECT_FALSE(loop.busy());
  EXPECT_FALSE(loop.quit());
  loop.Quit();
  EXPECT_TRUE(loop.quit());
  EXPECT_EQ(wakeups, 3);
  EXPECT_FALSE(loop.Post([] {}));
  EXPECT_EQ(wakeups, 3);
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

// A window whose own event loop drives the queue: the menu's calls run at once on its thread,
// whether the loop was bound before its first turn or by it, and a failed command leaves the
// loop working. Another thread's RunPending runs nothing.
TEST(ControlLoopTest, AWindowsEventLoopDrivesTheQueueOnItsThread) {
  ControlLoop bound;
  std::vector<std::string> order;
  EXPECT_EQ(Bounded(bound,
                    [&] {
                      bound.BindToCurrentThread();
                      bound.Post([&] { order.push_back("auto start"); });
                      const bool ran = bound.PostAndWait([&] { order.push_back("menu stop"); });
                      EXPECT_THROW(bound.PostAndWait([] { throw std::runtime_error("refused"); }),
                                   std::runtime_error);
                      std::thread([&] { bound.RunPending(); }).join();
                      bound.RunPending();
                      return ran;
                    }),
            true);
  EXPECT_EQ(order, (std::vector<std::string>{"menu stop", "auto start"}));

  ControlLoop first_turn;
  order.clear();
  EXPECT_EQ(Bounded(first_turn,
                    [&] {
                      first_turn.RunPending();
                      return first_turn.PostAndWait([&] { order.push_back("menu start"); });
                    }),
            true);
  EXPECT_EQ(order, (std::vector<std::string>{"menu start"}));
}

// A remote command posted before the control thread starts, from the thread that will run the
// loop, runs at once once that thread is bound.
TEST(ControlLoopTest, ACallBeforeRunOnTheThreadThatWillRunItRunsAtOnce) {
  ControlLoop loop;
  std::vector<std::string> order;
  EXPECT_EQ(Bounded(loop,
                    [&] {
                      loop.BindToCurrentThread();
                      const bool ran = loop.PostAndWait([&] { order.push_back("load"); });
                      loop.Post([&] { loop.Quit(); });
                      loop.Run();
                      return ran;
                    }),
            true);
  EXPECT_EQ(order, (std::vector<std::string>{"load"}));
}

// A loop that no thread runs (a window's event loop that has closed) still releases a remote
// caller at the exit. The caller usually waits before the exit; if not, it is refused at once.
TEST(ControlLoopTest, QuitReleasesTheWaitersOfALoopThatNobodyRuns) {
  ControlLoop loop;
  bool ran = false;
  std::thread exit([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.Quit();
  });
  EXPECT_EQ(Bounded(loop, [&] { return loop.PostAndWait([&] { ran = true; }); }), false);
  exit.join();
  EXPECT_FALSE(ran);
}

// A task that throws hands the exception to its waiter, or throws out of Run when nobody waits;
// either way the loop goes on with the next task.
TEST(ControlLoopTest, AThrowingTaskLeavesTheLoopWorking) {
  ControlLoop loop;
  std::vector<std::string> order;
  std::thread runner([&] {
    EXPECT_THROW(loop.Run(), std::runtime_error);
    loop.Run();
  });
  EXPECT_THROW(
      Bounded(loop,
              [&] { return loop.PostAndWait([] { throw std::runtime_error("start failed"); }); }),
      std::runtime_error);
  loop.Post([] { throw std::runtime_error("reset failed"); });
  EXPECT_EQ(Bounded(loop, [&] { return loop.PostAndWait([&] { order.push_back("stop"); }); }),
            true);
  EXPECT_EQ(order, (std::vector<std::string>{"stop"}));
  loop.Post([&] { loop.Quit(); });
  runner.join();
}

}  // namespace
}  // namespace velmora
