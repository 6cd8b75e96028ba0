#pragma once

#include <QApplication>

#include "ui/main_window.h"
#include "ui/window_prompt.h"

namespace velmora::ui {

// The windowed run of the router: the Qt application and its message boxes, which exist before
// the router does (start-up questions are asked before the window is shown). Owned by main on the
// thread that becomes the GUI and control thread.
class WindowSession {
 public:
  WindowSession(int& argc, char** argv);

  OperatorPrompt& prompt() { return prompt_; }
  // Shows the main window, runs the start-up and then the event loop until the window closes.
  // Returns the process's result.
  int Run(Router& router, Log& log);

 private:
  QApplication application_;
  WindowPrompt prompt_;
};

}  // namespace velmora::ui
