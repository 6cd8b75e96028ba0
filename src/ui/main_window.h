#pragma once

#include <QAction>
#include <QListWidget>
#include <QMainWindow>
#include <functional>
#include <memory>

#include "app/status_refresher.h"
#include "ui/console_list.h"
#include "ui/qos_panel.h"
#include "ui/status_panel.h"

namespace velmora {
class Log;
class Router;
}  // namespace velmora

namespace velmora::ui {

class WindowPrompt;

// The main window "Velmora Service": the Service menu, the About box, the status panel and the
// debug console. Lives on the GUI thread, which is the router's control thread: the window's event
// loop runs the control loop's tasks. The console thread hands it snapshots through StatusView and
// the log hands it lines through its console list, both as queued calls that never wait.
class MainWindow final : public QMainWindow, public StatusView {
 public:
  static constexpr const char* kTitle = "Velmora Service";

  MainWindow(Router& router, Log& log, WindowPrompt& prompt);
  ~MainWindow() override;

  // The start-up sequence on this thread, then the window shown where it was last.
  void Begin();
  // Runs once the window has closed at the end of the program: how its event loop ends.
  void set_on_finished(std::function<void()> finished) { on_finished_ = std::move(finished); }

  void ShowStatus(const StatusSnapshot& snapshot) override;
  void ShowStopped() override;
  void ShowRemoteLamp(int value) override;

  StatusPanel& panel() { return *panel_; }
  QosPanel& qos_panel() { return *qos_; }
  QListWidget& console() { return *console_; }
  QAction& action(const char* name);
  // "Show QoS panel" follows the "Next hop" choice; the panel closes when shaping is off.
  void FollowNextHop(bool shaping);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  QAction* AddAction(QMenu* menu, const char* text, const char* name, void (MainWindow::*slot)());
  void Start();
  void Stop();
  void ResetCounters();
  void ResetScale();
  void Exit();
  void About();
  // The settings sheet, modal; its OK may switch bandwidth management on or off.
  void OpenSettings();
  void ToggleQosPanel();
  void StoreQosPlacement();
  void ShowRunning(bool running);
  // Runs the control loop's waiting tasks, or tries again later while one is running.
  void Pump();
  void WakeUp();
  void StorePlacement();
  // The control loop has quit: the window closes and the event loop ends.
  void Finish();

  Router& router_;
  Log& log_;
  WindowPrompt& prompt_;
  StatusPanel* panel_;
  QListWidget* console_;
  std::unique_ptr<ConsoleList> console_target_;
  std::unique_ptr<QosPanel> qos_;
  std::function<void()> on_finished_;
  bool finished_ = false;
};

}  // namespace velmora::ui
