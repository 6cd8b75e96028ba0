
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

bool ControlLoop::Post(Task task) {
  return Enqueue({std::move(task), nullptr});
}

bool ControlLoop::PostAndWait(Task task) {
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  if (!Enqueue({std::move(task), done})) return false;
  return result.get();
}

void ControlLoop::Run() {
  for (;;) {
    Item item;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return quit_ || !queue_.empty(); });
      if (quit_) break;
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    item.task();
    if (item.done) item.done->set_value(true);
  }
  std::deque<Item> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    dropped.swap(queue_);
  }
  for (Item& item : dropped) {
    if (item.done) item.done->set_value(false);
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
