#include "app/control_loop.h"

namespace velmora {

bool ControlLoop::Enqueue(Item item) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (quit_) return false;
    queue_.push_back(std::move(item));
  }
  cv_.notify_one();
  return true;
}

bool ControlLoop::OnLoopThread() const {
  return thread_.load() == std::this_thread::get_id();
}

bool ControlLoop::Post(Task task) {
  return Enqueue({std::move(task), nullptr});
}

bool ControlLoop::PostAndWait(Task task) {
  if (OnLoopThread()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (quit_) return false;
    }
    RunTask(task);
    return true;
  }
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  if (!Enqueue({std::move(task), done})) return false;
  return result.get();
}

bool ControlLoop::WaitForWork() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
  return !quit_;
}

std::optional<ControlLoop::Item> ControlLoop::TakeWaiting() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (quit_ || queue_.empty()) return std::nullopt;
  Item item = std::move(queue_.front());
  queue_.pop_front();
  return item;
}

void ControlLoop::RunTask(const Task& task) {
  const bool outer_busy = std::exchange(busy_, true);
  task();
  busy_ = outer_busy;
}

void ControlLoop::Run() {
  thread_ = std::this_thread::get_id();
  while (WaitForWork()) RunPending();
  std::deque<Item> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    dropped.swap(queue_);
  }
  for (Item& item : dropped) {
    if (item.done) item.done->set_value(false);
  }
}

void ControlLoop::RunPending() {
  if (busy_) return;
  while (std::optional<Item> item = TakeWaiting()) {
    RunTask(item->task);
    if (item->done) item->done->set_value(true);
  }
}

void ControlLoop::Quit() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
  }
  cv_.notify_all();
}

}  // namespace velmora
