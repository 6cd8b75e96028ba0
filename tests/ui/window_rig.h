#pragma once

#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/router.h"
#include "platform/file_system.h"
#include "support/log.h"
#include "testing/inserter_datagrams.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"
#include "ui/main_window.h"
#include "ui/window_prompt.h"

namespace velmora::testing {

// The tables of a rig's router: 10.0.0.5 resolved to PID 291.
inline constexpr const char* kOneAddressNetwork =
    "[NETWORKS]\nAlias=\"Net\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
    "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n"
    "[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";

// `general` with each "Key=value" line of `changes` in place of the line with the same key, or
// added at its end when it has none; the router's INI reader keeps the first of two equal keys.
inline std::string WithGeneralKeys(std::string general, const std::string& changes) {
  std::istringstream lines(changes);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = general.find("\n" + line.substr(0, line.find('=') + 1));
    if (at == std::string::npos) {
      general += line + "\n";
      continue;
    }
    general.replace(at + 1, general.find('\n', at + 1) - at - 1, line);
  }
  return general;
}

// A router with its window in this process (whose main made the QApplication), in a folder of the
// test's own that is the current folder meanwhile; its transparent port and inserter are on
// loopback.
class WindowRig {
 public:
  explicit WindowRig(const std::string& name, const std::string& extra_general = "",
                     const std::string& sections = kOneAddressNetwork)
      : dir_(RouterFolder(name)), previous_(std::filesystem::current_path()) {
    std::ofstream(dir_ / "velmora.ini")
        << WithGeneralKeys(TransparentGeneral(inserter_.port(), transparent_port_) +
                               "CorvidEnable=0\nL2tpEnable=0\n",
                           extra_general)
        << sections;
    std::filesystem::current_path(dir_);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
  }
  ~WindowRig() {
    CloseWithoutQuestion();
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(dir_);
  }
  WindowRig(const WindowRig&) = delete;
  WindowRig& operator=(const WindowRig&) = delete;

  // A new router and window on the folder's velmora.ini, started up.
  void Open() {
    Create();
    window_->Begin();
  }
  // The same with `early` given the new router before its window exists, as a signal is early in
  // start-up.
  template <typename Early>
  void OpenAfter(Early early) {
    CreateRouter();
    early(*router_);
    CreateWindow();
    window_->Begin();
  }
  // The same for a start-up that asks a question: answered with `button`.
  void OpenAnswering(QMessageBox::StandardButton button) {
    Create();
    AnswerNextBox(button);
    window_->Begin();
  }
  // Ends the router as a signal does, and drops the window.
  void CloseWithoutQuestion() {
    if (router_) {
      router_->Close(false);
      QTest::qWait(50);
      router_->Finish();  // remote sessions end before the window they may call goes
    }
    window_.reset();
    router_.reset();
  }

  // Answers the next message box with `button` and keeps its title and text.
  void AnswerNextBox(QMessageBox::StandardButton button) {
    auto* timer = new QTimer(window_.get());
    QObject::connect(timer, &QTimer::timeout, [this, timer, button] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      last_title_ = box->windowTitle().toStdString();
      last_text_ = box->text().toStdString();
      window_visible_at_box_ = window_->isVisible();
      timer->deleteLater();
      box->button(button)->click();
    });
    timer->start(20);
  }

  // Sends `count` datagrams of `size` bytes to 10.0.0.5 through the transparent port, for the
  // router to resolve.
  void SendTraffic(int count, size_t size = 200, const char* destination = "10.0.0.5") {
    const std::string datagram = AsText(TransparentDatagram(destination, 7, 0, size));
    for (int i = 0; i < count; ++i) sender_.SendTo(transparent_port_, datagram);
  }

  // Runs the event loop until `done` holds, for up to `ms` milliseconds.
  template <typename Done>
  static bool WaitFor(Done done, int ms = 8000) {
    return QTest::qWaitFor(done, ms);
  }

  QString Label(const char* name) { return window_->findChild<QLabel*>(name)->text(); }
  ui::Lamp& LampNamed(const char* name) { return *window_->findChild<ui::Lamp*>(name); }

  // The debug console's lines, for a failure's message.
  std::string ConsoleText() {
    std::string text;
    for (int i = 0; i < window_->console().count(); ++i) {
      text += window_->console().item(i)->text().toStdString() + "\n";
    }
    return text;
  }

  Router& router() { return *router_; }
  UdpPeer& inserter() { return inserter_; }
  ui::MainWindow& window() { return *window_; }
  ui::WindowPrompt& prompt() { return prompt_; }
  Log& log() { return log_; }
  const std::filesystem::path& dir() const { return dir_; }
  const std::string& last_title() const { return last_title_; }
  const std::string& last_text() const { return last_text_; }
  bool window_visible_at_box() const { return window_visible_at_box_; }

 private:
  void Create() {
    CreateRouter();
    CreateWindow();
  }
  void CreateWindow() { window_ = std::make_unique<ui::MainWindow>(*router_, log_, prompt_); }
  void CreateRouter() {
    router_ = std::make_unique<Router>(
        files_, RealClock(), log_, prompt_,
        RouterOptions{.command_line = {"velmora"}, .working_folder = dir_.string()});
  }

  std::filesystem::path dir_;
  std::filesystem::path previous_;
  UdpPeer inserter_;
  UdpPeer sender_;
  uint16_t transparent_port_ = UdpPeer::FreePort();
  Log log_;
  ui::WindowPrompt prompt_;
  PosixFileSystem files_;
  std::unique_ptr<Router> router_;
  std::unique_ptr<ui::MainWindow> window_;
  std::string last_title_;
  std::string last_text_;
  bool window_visible_at_box_ = false;
};

}  // namespace velmora::testing
