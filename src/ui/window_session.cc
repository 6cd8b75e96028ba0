#include "ui/window_session.h"

#include "app/router.h"

namespace velmora::ui {

WindowSession::WindowSession(int& argc, char** argv) : application_(argc, argv) {
  QApplication::setApplicationName(MainWindow::kTitle);
  // The session ends when the router finishes, never because the last window closed: a box shown
  // while the windows close (the service stopping) must stay until answered.
  QApplication::setQuitOnLastWindowClosed(false);
}

int WindowSession::Run(Router& router, Log& log) {
  MainWindow window(router, log, prompt_);
  window.set_on_finished([] { QCoreApplication::exit(0); });
  window.Begin();
  const int result = QApplication::exec();
  router.Finish();
  return result;
}

}  // namespace velmora::ui
