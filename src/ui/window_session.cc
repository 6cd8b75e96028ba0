#include "ui/window_session.h"

namespace velmora::ui {

WindowSession::WindowSession(int& argc, char** argv) : application_(argc, argv) {
  QApplication::setApplicationName(MainWindow::kTitle);
}

int WindowSession::Run(Router& router, Log& log) {
  MainWindow window(router, log, prompt_);
  window.set_on_finished([] { QCoreApplication::exit(0); });
  window.Begin();
  return QApplication::exec();
}

}  // namespace velmora::ui
