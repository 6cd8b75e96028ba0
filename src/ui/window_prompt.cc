#include "ui/window_prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "app/control_loop.h"

namespace velmora::ui {
namespace {

constexpr auto kBusyCheckInterval = std::chrono::milliseconds(20);

QMessageBox::Icon BoxIcon(PromptIcon icon) {
  switch (icon) {
    case PromptIcon::kInformation:
      return QMessageBox::Information;
    case PromptIcon::kQuestion:
      return QMessageBox::Question;
    case PromptIcon::kWarning:
      return QMessageBox::Warning;
    case PromptIcon::kError:
      return QMessageBox::Critical;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons BoxButtons(PromptButtons buttons) {
  switch (buttons) {
    case PromptButtons::kOk:
      return QMessageBox::Ok;
    case PromptButtons::kYesNo:
      return QMessageBox::Yes | QMessageBox::No;
    case PromptButtons::kOkCancel:
      return QMessageBox::Ok | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::StandardButton BoxButton(PromptAnswer answer) {
  switch (answer) {
    case PromptAnswer::kOk:
      return QMessageBox::Ok;
    case PromptAnswer::kYes:
      return QMessageBox::Yes;
    case PromptAnswer::kNo:
      return QMessageBox::No;
    case PromptAnswer::kCancel:
      return QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

PromptAnswer Answer(int button, PromptAnswer fallback) {
  switch (button) {
    case QMessageBox::Ok:
      return PromptAnswer::kOk;
    case QMessageBox::Yes:
      return PromptAnswer::kYes;
    case QMessageBox::No:
      return PromptAnswer::kNo;
    case QMessageBox::Cancel:
      return PromptAnswer::kCancel;
    default:
      return fallback;  // the box was closed without a button
  }
}

bool OnGuiThread() {
  return QThread::currentThread() == QCoreApplication::instance()->thread();
}

}  // namespace

// A question carried from another thread: asked, then shown or given up, then answered.
struct WindowPrompt::CarriedQuestion {
  enum class State { kWaiting, kShowing, kAnswered };
  std::mutex mutex;
  std::condition_variable answered;
  State state = State::kWaiting;
  PromptAnswer answer = PromptAnswer::kOk;
};

PromptAnswer ShowMessageBox(const PromptRequest& request) {
  QMessageBox box(BoxIcon(request.icon), QString::fromStdString(request.title),
                  QString::fromStdString(request.text), BoxButtons(request.buttons));
  box.setDefaultButton(BoxButton(request.default_answer));
  return Answer(box.exec(), request.default_answer);
}

PromptAnswer WindowPrompt::Ask(const PromptRequest& request) {
  if (OnGuiThread()) return ShowMessageBox(request);
  return AskFromOtherThread(request);
}

bool WindowPrompt::AnswerAtOnce() const {
  return loop_ != nullptr && (loop_->busy() || loop_->quit());
}

bool WindowPrompt::MayShow(CarriedQuestion& question) {
  std::lock_guard<std::mutex> guard(question.mutex);
  if (question.state != CarriedQuestion::State::kWaiting) return false;
  if (AnswerAtOnce()) {
    question.state = CarriedQuestion::State::kAnswered;
    question.answered.notify_all();
    return false;
  }
  question.state = CarriedQuestion::State::kShowing;
  return true;
}

void WindowPrompt::ShowCarried(CarriedQuestion& question, const PromptRequest& request) {
  if (!MayShow(question)) return;
  answering_other_thread_ = true;
  const PromptAnswer answer = ShowMessageBox(request);
  answering_other_thread_ = false;
  std::lock_guard<std::mutex> guard(question.mutex);
  question.answer = answer;
  question.state = CarriedQuestion::State::kAnswered;
  question.answered.notify_all();
}

PromptAnswer WindowPrompt::AskFromOtherThread(const PromptRequest& request) {
  auto question = std::make_shared<CarriedQuestion>();
  question->answer = request.default_answer;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [this, question, request] { ShowCarried(*question, request); },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> lock(question->mutex);
  while (question->state != CarriedQuestion::State::kAnswered) {
    question->answered.wait_for(lock, kBusyCheckInterval);
    // The control thread may be joining this thread, or the window is closing and no box will
    // show: the question gets its default.
    if (question->state == CarriedQuestion::State::kWaiting && AnswerAtOnce()) {
      question->state = CarriedQuestion::State::kAnswered;
    }
  }
  return question->answer;
}

}  // namespace velmora::ui
