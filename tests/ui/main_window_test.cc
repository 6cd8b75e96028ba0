// The operator's window on Qt's offscreen platform, with a real router in this process: the menu,
// the status panel following traffic, the close confirmation and the stored placement.

#include <gtest/gtest.h>

#include <QAction>
#include <QListWidget>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "testing/metrics_scrape.h"
#include "testing/remote_client.h"
#include "ui/window_rig.h"

namespace velmora {
namespace {

using testing::WindowRig;

TEST(MainWindow, MenuStartsAndStopsTheService) {
  WindowRig rig("velmora_ui_menu", "StartListening=0\n");
  rig.Open();
  EXPECT_EQ(rig.window().windowTitle(), "Velmora Service");
  EXPECT_TRUE(rig.window().action("start").isEnabled());
  EXPECT_FALSE(rig.window().action("stop").isEnabled());
  EXPECT_TRUE(rig.window().action("settings").isEnabled());

  rig.window().action("start").trigger();
  EXPECT_TRUE(rig.router().controller().running());
  EXPECT_FALSE(rig.window().action("start").isEnabled());
  EXPECT_TRUE(rig.window().action("stop").isEnabled());

  rig.window().action("stop").trigger();
  EXPECT_FALSE(rig.router().controller().running());
  EXPECT_TRUE(rig.window().action("start").isEnabled());
  EXPECT_FALSE(rig.window().action("stop").isEnabled());
}

TEST(MainWindow, TheQosPanelStaysUnavailableWithoutBandwidthManagement) {
  WindowRig rig("velmora_ui_no_qos", "EnableBandwidth=0\n");
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));
  QTest::qWait(100);
  EXPECT_FALSE(rig.window().action("showQos").isEnabled());
}

TEST(MainWindow, PanelFollowsTrafficThroughTheTransparentPort) {
  WindowRig rig("velmora_ui_traffic", "EnableBandwidth=0\n");
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));
  // Enough bytes in one refresh interval to lift the scale: 300 kB is about 1170 kbit/s.
  ASSERT_TRUE(WindowRig::WaitFor([&] {
    rig.SendTraffic(100, 1000);
    QTest::qWait(100);
    return rig.Label("unicastPackets").toInt() > 0 && rig.LampNamed("statusLamp").on();
  })) << rig.ConsoleText();
  EXPECT_TRUE(rig.LampNamed("internalLamp").on());
  EXPECT_EQ(rig.LampNamed("internalLamp").colour(), QColor(Qt::green));
  EXPECT_FALSE(rig.LampNamed("externalLamp").on());
  EXPECT_GT(rig.Label("unicastRate").toInt(), 0);
  EXPECT_GE(rig.Label("unicastPeak").toInt(), rig.Label("unicastRate").toInt());
  EXPECT_EQ(rig.Label("multicastPackets"), "0");
  auto& graph = *rig.window().findChild<ui::BarGraph*>("barGraph");
  EXPECT_GT(graph.scale().scale(), 100u);

  rig.window().action("resetScale").trigger();
  EXPECT_EQ(graph.scale().scale(), 100u);
  EXPECT_EQ(graph.scale().unicast().marker_percent, 0u);

  // Traffic over: the next refresh after the reset shows no packets and no peak.
  rig.window().action("resetCounters").trigger();
  ASSERT_TRUE(WindowRig::WaitFor([&] {
    return rig.Label("unicastPackets") == "0" && rig.Label("unicastPeak") == "0" &&
           !rig.LampNamed("statusLamp").on();
  }));

  rig.window().action("stop").trigger();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.Label("unicastRate") == "0"; }));
  EXPECT_FALSE(rig.LampNamed("statusLamp").on());
}

TEST(MainWindow, CloseWithNoLeavesEverythingRunningAndWithYesSavesAndExits) {
  WindowRig rig("velmora_ui_close");
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));

  rig.AnswerNextBox(QMessageBox::No);
  rig.window().close();
  EXPECT_EQ(rig.last_title(), "Kill service request");
  EXPECT_EQ(rig.last_text(), "Really kill Velmora service?");
  EXPECT_TRUE(rig.router().controller().running());
  EXPECT_TRUE(rig.window().isVisible());
  EXPECT_FALSE(rig.router().loop().quit());

  rig.window().setGeometry(40, 50, 700, 520);
  rig.AnswerNextBox(QMessageBox::Yes);
  rig.window().action("exit").trigger();
  EXPECT_FALSE(rig.router().controller().running());
  EXPECT_TRUE(rig.router().loop().quit());
  ASSERT_TRUE(WindowRig::WaitFor([&] { return !rig.window().isVisible(); }));
  const std::string ini = testing::ReadAll(rig.dir() / "velmora.ini");
  EXPECT_NE(ini.find("WinPosition=0,1,-1,-1,-1,-1,40,50,740,570"), std::string::npos) << ini;
  EXPECT_NE(ini.find("StartListening=1"), std::string::npos);
}

TEST(MainWindow, TheRcmdLampShowsAnOpenRemoteSession) {
  const uint16_t port = testing::FreeTcpPort();
  WindowRig rig("velmora_ui_rcmd",
                "RemoteControlOn=1\nRemoteControlPort=" + std::to_string(port) + "\n");
  rig.Open();
  EXPECT_FALSE(rig.LampNamed("remoteLamp").on());
  {
    testing::RemoteClient client(port);
    ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.LampNamed("remoteLamp").on(); }));
  }
  EXPECT_TRUE(WindowRig::WaitFor([&] { return !rig.LampNamed("remoteLamp").on(); }));
}

TEST(MainWindow, AServiceStartReopensTheMetricsPortWhenItChanged) {
  if (std::system("command -v curl >/dev/null") != 0) GTEST_SKIP() << "curl is not installed";
  const uint16_t remote = testing::FreeTcpPort();
  const uint16_t first = testing::FreeTcpPort();
  WindowRig rig("velmora_ui_metrics_reopen",
                "RemoteControlOn=1\nRemoteControlPort=" + std::to_string(remote) +
                    "\nRemoteControlBind=" + "127.0.0.1\nMetricsPort=" + std::to_string(first) +
                    "\n");
  rig.Open();
  ASSERT_EQ(rig.router().metrics_port(), first);
  EXPECT_FALSE(testing::Scrape(first).empty());
  const uint16_t second = testing::FreeTcpPort();
  rig.router().settings().MetricsPort = second;
  testing::RemoteClient client(remote);
  ASSERT_TRUE(client.connected());
  // This thread runs the control loop: it waits for the commands' effects with the event loop
  // running, never blocked in a read.
  client.Send("SET STOP\n");
  ASSERT_TRUE(WindowRig::WaitFor([&] { return !rig.router().controller().menu_running(); }));
  EXPECT_EQ(rig.router().metrics_port(), first);  // only a start looks at the keys
  client.Send("SET START\n");
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().metrics_port() == second; }));
  EXPECT_FALSE(testing::Scrape(second).empty());
  EXPECT_TRUE(testing::Scrape(first).empty());
  rig.router().settings().MetricsPort = 0;
  client.Send("SET STOP\nSET START\n");
  EXPECT_TRUE(WindowRig::WaitFor([&] { return rig.router().metrics_port() == 0; }));
}

TEST(MainWindow, ARemoteKillClosesWithoutTheQuestion) {
  const uint16_t port = testing::FreeTcpPort();
  WindowRig rig("velmora_ui_remote_kill",
                "RemoteControlOn=1\nRemoteControlPort=" + std::to_string(port) + "\n");
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));
  bool asked = false;
  auto* timer = new QTimer(&rig.window());
  QObject::connect(timer, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    asked = true;
    box->button(QMessageBox::No)->click();
  });
  timer->start(20);
  testing::RemoteClient client(port);
  ASSERT_TRUE(client.connected());
  client.Send("SET KILL\n");
  EXPECT_TRUE(WindowRig::WaitFor([&] { return !rig.router().controller().running(); }));
  EXPECT_FALSE(rig.window().isVisible());
  EXPECT_FALSE(asked);
}

TEST(MainWindow, PlacementSurvivesARestart) {
  WindowRig rig("velmora_ui_placement");
  rig.Open();
  rig.window().setGeometry(120, 80, 660, 480);
  rig.CloseWithoutQuestion();
  rig.Open();
  EXPECT_EQ(rig.window().geometry(), QRect(120, 80, 660, 480));
}

TEST(MainWindow, ConsoleShowsTheLogsNewestFiftyLines) {
  WindowRig rig("velmora_ui_console", "StartListening=0\n");
  rig.Open();
  for (int i = 0; i < 70; ++i) rig.log() << "line " << i << "\n";
  QListWidget& console = rig.window().console();
  ASSERT_TRUE(WindowRig::WaitFor([&] {
    return console.count() > 0 && console.item(console.count() - 1)->text() == "line 69";
  }));
  EXPECT_EQ(console.count(), Log::kConsoleEntries);
  EXPECT_EQ(console.item(0)->text(), "line 20");
  EXPECT_EQ(console.currentRow(), console.count() - 1);
}

TEST(MainWindow, ASignalBeforeTheWindowExistsClosesItOnceItBegins) {
  WindowRig rig("velmora_ui_early_signal", "StartListening=0\n");
  std::atomic<bool> closed{false};
  std::thread signal;
  rig.OpenAfter([&](Router& router) {
    signal = std::thread([&] {
      router.Close(false);
      closed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the close is queued
  });
  const bool ended = WindowRig::WaitFor([&] { return closed.load(); }, 3000);
  if (!ended) rig.router().loop().RunPending();  // lets the thread go so the test can end
  signal.join();
  EXPECT_TRUE(ended);
  EXPECT_FALSE(rig.window().isVisible());
}

TEST(MainWindow, AQuestionFromAnotherThreadOnceTheLoopQuitGetsItsDefault) {
  // Shared with the asking thread, which would stay blocked if the question were never answered.
  auto loop = std::make_shared<ControlLoop>();
  auto prompt = std::make_shared<ui::WindowPrompt>();
  prompt->set_control_loop(loop.get());
  loop->Quit();
  auto answer = std::make_shared<std::promise<PromptAnswer>>();
  std::future<PromptAnswer> result = answer->get_future();
  std::thread([loop, prompt, answer] {
    answer->set_value(prompt->Ask({.title = "Question",
                                   .text = "Asked while the window closes",
                                   .buttons = PromptButtons::kYesNo,
                                   .default_answer = PromptAnswer::kNo}));
  }).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_EQ(result.get(), PromptAnswer::kNo);
  QCoreApplication::processEvents();  // the carried question finds itself answered
}

TEST(MainWindow, AboutBoxNamesTheProductAndVersion) {
  WindowRig rig("velmora_ui_about", "StartListening=0\n");
  rig.Open();
  rig.AnswerNextBox(QMessageBox::Ok);
  rig.window().action("about").trigger();
  EXPECT_EQ(rig.last_text(), "Velmora Service\nVersion 3.12");
}

TEST(MainWindow, AStartUpQuestionIsABoxBeforeTheWindowShows) {
  WindowRig rig("velmora_ui_startup_question", "StartListening=0\n",
                "[NETWORKS]\nAlias=\"Loop\", IPSubNetAddr=127.0.0.0, IPSubNetMask=255.0.0.0, "
                "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
                "[SubNet_001]\n127.0.0.1 00-11-22-33-44-66\n");
  rig.OpenAnswering(QMessageBox::Ok);
  EXPECT_EQ(rig.last_title(), "ARP Table Init Warning");
  EXPECT_NE(rig.last_text().find("127.0.0.1"), std::string::npos);
  EXPECT_FALSE(rig.window_visible_at_box());
  EXPECT_TRUE(rig.window().isVisible());
}

TEST(MainWindow, QuestionFromAnotherThreadIsAnsweredInABox) {
  WindowRig rig("velmora_ui_question", "StartListening=0\n");
  rig.Open();
  PromptAnswer answer = PromptAnswer::kOk;
  std::thread asker([&] {
    answer = rig.prompt().Ask({.title = "Warning",
                               .text = "Activate new parameters now?",
                               .buttons = PromptButtons::kYesNo,
                               .default_answer = PromptAnswer::kYes});
  });
  rig.AnswerNextBox(QMessageBox::No);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return !rig.last_text().empty(); }));
  asker.join();
  EXPECT_EQ(answer, PromptAnswer::kNo);
  EXPECT_EQ(rig.last_text(), "Activate new parameters now?");
}

TEST(MainWindow, RemoteStopWaitsForTheCloseQuestionAndARunningTaskAnswersOthersAtOnce) {
  WindowRig rig("velmora_ui_nested");
  rig.Open();
  ASSERT_TRUE(WindowRig::WaitFor([&] { return rig.router().controller().menu_running(); }));
  bool stopped = false;
  bool running_while_asked = false;
  PromptAnswer other_answer = PromptAnswer::kOk;
  std::thread remote;
  auto* timer = new QTimer(&rig.window());
  QObject::connect(timer, &QTimer::timeout, [&] {
    if (QApplication::activeModalWidget() == nullptr || remote.joinable()) return;
    // The close question is open in a nested event loop of the close task: a stop posted now
    // waits for the task, and a question from another thread gets its default.
    remote = std::thread([&] {
      other_answer = rig.prompt().Ask({.title = "Warning",
                                       .text = "Other",
                                       .buttons = PromptButtons::kYesNo,
                                       .default_answer = PromptAnswer::kYes});
      stopped = rig.router().Stop();
    });
    QTest::qWait(300);
    running_while_asked = rig.router().controller().running();
    qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->button(QMessageBox::No)->click();
  });
  timer->start(20);
  rig.window().close();
  timer->stop();
  EXPECT_TRUE(running_while_asked);
  ASSERT_TRUE(WindowRig::WaitFor([&] { return !rig.router().controller().running(); }));
  remote.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(other_answer, PromptAnswer::kYes);
}

}  // namespace
}  // namespace velmora
