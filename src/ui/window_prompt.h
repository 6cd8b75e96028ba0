#pragma once

#include <atomic>

#include "support/operator_prompt.h"

namespace velmora {
class ControlLoop;
}

namespace velmora::ui {

// The operator's questions as real message boxes. Asked on the GUI thread, the box shows at once;
// asked on another thread, the question is carried to the GUI thread and the caller waits for the
// answer. A question from another thread while the control thread is inside a start, stop or close
// gets its default at once: that task may be joining the asking thread. So does one asked once the
// control loop has quit: the window is closing and its event loop ends. Needs a QApplication.
class WindowPrompt final : public OperatorPrompt {
 public:
  PromptAnswer Ask(const PromptRequest& request) override;

  // The loop whose tasks may join an asking thread; set before other threads ask.
  void set_control_loop(const ControlLoop* loop) { loop_ = loop; }
  // True while a box asked by another thread is open: the control loop's tasks wait meanwhile.
  bool answering_other_thread() const { return answering_other_thread_.load(); }

 private:
  struct CarriedQuestion;

  PromptAnswer AskFromOtherThread(const PromptRequest& request);
  // On the GUI thread: shows the carried question unless its asker gave up or a control task
  // runs, and hands the answer back.
  void ShowCarried(CarriedQuestion& question, const PromptRequest& request);
  // Whether the carried question may be shown now; answers it with its default when not.
  bool MayShow(CarriedQuestion& question);
  // Whether a question from another thread gets its default instead of a box: a control task
  // runs, or the control loop has quit.
  bool AnswerAtOnce() const;

  const ControlLoop* loop_ = nullptr;
  std::atomic<bool> answering_other_thread_{false};
};

// Shows one message box and waits for the operator's button; on the GUI thread.
PromptAnswer ShowMessageBox(const PromptRequest& request);

}  // namespace velmora::ui
