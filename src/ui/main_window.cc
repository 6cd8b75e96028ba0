#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QTimer>

#include "app/router.h"
#include "support/log.h"
#include "ui/placement.h"
#include "ui/settings_sheet.h"
#include "ui/window_prompt.h"

namespace velmora::ui {
namespace {

// How soon the window looks again for control tasks that waited for a running one.
constexpr int kPumpRetryMs = 20;

}  // namespace

MainWindow::MainWindow(Router& router, Log& log, WindowPrompt& prompt)
    : router_(router),
      log_(log),
      prompt_(prompt),
      panel_(new StatusPanel),
      console_(new QListWidget),
      qos_(std::make_unique<QosPanel>()) {
  setWindowTitle(kTitle);
  console_->setObjectName("console");
  // Long lines wrap instead of hiding behind a scroll bar in the narrow column.
  console_->setWordWrap(true);
  console_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* central = new QWidget;
  auto* row = new QHBoxLayout(central);
  row->addWidget(panel_, 0, Qt::AlignTop);
  row->addWidget(console_, 1);
  setCentralWidget(central);
  BuildMenu();

  console_target_ = std::make_unique<ConsoleList>(console_);
  log_.SetConsoleTarget(console_target_.get());
  prompt_.set_control_loop(&router_.loop());
  router_.loop().set_wakeup([this] { WakeUp(); });
  router_.refresher().set_view(this);
  router_.controller().set_menu_listener([this](bool running) { ShowRunning(running); });
  qos_->set_on_close([this] {
    StoreQosPlacement();
    action("showQos").setChecked(false);
  });
  router_.set_close_listener([this] {
    StorePlacement();
    hide();
    qos_->close();
  });
}

MainWindow::~MainWindow() {
  router_.set_close_listener(nullptr);
  router_.controller().set_menu_listener(nullptr);
  router_.refresher().set_view(nullptr);
  router_.loop().set_wakeup(nullptr);
  log_.SetConsoleTarget(nullptr);
}

void MainWindow::BuildMenu() {
  QMenu* service = menuBar()->addMenu("&Service");
  AddAction(service, "S&tart", "start", &MainWindow::Start);
  AddAction(service, "St&op", "stop", &MainWindow::Stop)->setEnabled(false);
  AddAction(service, "Setting...", "settings", &MainWindow::OpenSettings);
  QAction* qos = AddAction(service, "Show QoS panel", "showQos", &MainWindow::ToggleQosPanel);
  qos->setCheckable(true);
  qos->setEnabled(false);
  service->addSeparator();
  AddAction(service, "&Reset counters", "resetCounters", &MainWindow::ResetCounters);
  AddAction(service, "R&eset scale", "resetScale", &MainWindow::ResetScale);
  service->addSeparator();
  AddAction(service, "E&xit", "exit", &MainWindow::Exit);
  QAction* about = menuBar()->addAction("About...");
  about->setObjectName("about");
  connect(about, &QAction::triggered, this, [this] { About(); });
}

QAction* MainWindow::AddAction(QMenu* menu, const char* text, const char* name,
                               void (MainWindow::*slot)()) {
  QAction* action = menu->addAction(text);
  action->setObjectName(name);
  if (slot != nullptr)
    connect(action, &QAction::triggered, this, [this, slot] { (this->*slot)(); });
  return action;
}

QAction& MainWindow::action(const char* name) {
  return *findChild<QAction*>(name);
}

void MainWindow::Begin() {
  router_.loop().BindToCurrentThread();
  // Work posted before the wake-up hook was set (a signal early in start-up) runs now.
  WakeUp();
  router_.StartUp();
  ShowPlaced(*this, router_.settings().WinPosition);
}

void MainWindow::Start() {
  router_.Start();
}

void MainWindow::Stop() {
  router_.Stop();
}

void MainWindow::ResetCounters() {
  router_.ResetCounters();
}

void MainWindow::ResetScale() {
  panel_->ResetScale();
}

void MainWindow::Exit() {
  router_.Close(true);
}

void MainWindow::About() {
  prompt_.Ask({.title = "About Velmora", .text = "Velmora Service\nVersion 3.12"});
}

void MainWindow::OpenSettings() {
  SettingsSheet sheet(router_, log_, prompt_, this);
  sheet.set_on_applied([this](bool shaping) { FollowNextHop(shaping); });
  sheet.exec();
}

void MainWindow::FollowNextHop(bool shaping) {
  if (!shaping && qos_->isVisible()) qos_->close();
  action("showQos").setEnabled(shaping && router_.controller().running());
}

void MainWindow::ToggleQosPanel() {
  if (qos_->isVisible()) {
    qos_->close();
  } else {
    ShowPlaced(*qos_, router_.settings().WinPositionQoS);
  }
}

void MainWindow::StoreQosPlacement() {
  router_.settings().WinPositionQoS = PlacementOf(*qos_);
}

void MainWindow::ShowRunning(bool running) {
  action("start").setEnabled(!running);
  action("stop").setEnabled(running);
  action("showQos").setEnabled(running && router_.bandwidth().running());
  if (running) panel_->ResetScale();
}

void MainWindow::ShowStatus(const StatusSnapshot& snapshot) {
  QMetaObject::invokeMethod(
      this,
      [this, snapshot] {
        panel_->Show(snapshot);
        if (snapshot.qos) qos_->Show(*snapshot.qos);
      },
      Qt::QueuedConnection);
}

void MainWindow::ShowStopped() {
  QMetaObject::invokeMethod(
      this,
      [this] {
        panel_->ShowStopped();
        qos_->ShowStopped();
      },
      Qt::QueuedConnection);
}

void MainWindow::ShowRemoteLamp(int value) {
  QMetaObject::invokeMethod(
      this, [this, value] { panel_->ShowRemoteLamp(value != 0); }, Qt::QueuedConnection);
}

void MainWindow::WakeUp() {
  QMetaObject::invokeMethod(
      this, [this] { Pump(); }, Qt::QueuedConnection);
}

void MainWindow::Pump() {
  ControlLoop& loop = router_.loop();
  if (loop.quit()) {
    Finish();
    return;
  }
  if (loop.busy() || prompt_.answering_other_thread()) {
    QTimer::singleShot(kPumpRetryMs, this, [this] { Pump(); });
    return;
  }
  loop.RunPending();
}

void MainWindow::StorePlacement() {
  router_.settings().WinPosition = PlacementOf(*this);
}

void MainWindow::Finish() {
  if (finished_) return;
  finished_ = true;
  close();
  if (on_finished_) on_finished_();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (finished_) {
    event->accept();
    return;
  }
  event->ignore();
  router_.Close(true);
}

}  // namespace velmora::ui
