#include "app/control_loop.h"

namespace velmora {

namespace {

// Gives a flag back its earlier value when the scope ends, also by an exception. Used on the
// loop's thread for its busy flag.
class FlagRestorer {
 public:
  FlagRestorer(std::atomic<bool>& flag, bool value) : flag_(flag), earlier_(flag.exchange(value)) {}
  FlagRestorer(const FlagRestorer&) = delete;
  FlagRestorer& operator=(const FlagRestorer&) = delete;
  ~FlagRestorer() { flag_ = earlier_; }

 private:
  std::atomic<bool>& flag_;
  const bool earlier_;
};

}  // namespace

bool ControlLoop::Enqueue(Item item) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (quit_) return false;
    queue_.push_back(std::move(item));
  }
  cv_.notify_one();
  Wake();
  return true;
}

void ControlLoop::set_wakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> guard(wakeup_mutex_);
  wakeup_ = std::move(wakeup);
}

void ControlLoop::Wake() const {
  std::lock_guard<std::mutex> guard(wakeup_mutex_);
  if (wakeup_) wakeup_();
}

bool ControlLoop::quit() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return quit_;
}

bool ControlLoop::OnLoopThread() const {
  return thread_.load() == std::this_thread::get_id();
}

void ControlLoop::BindToCurrentThread() {
  thread_ = std::this_thread::get_id();
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
  const FlagRestorer busy(busy_, true);
  task();
}

void ControlLoop::RunItem(Item& item) {
  if (!item.done) {
    RunTask(item.task);
    return;
  }
  try {
    RunTask(item.task);
  } catch (...) {
    item.done->set_exception(std::current_exception());
    return;
  }
  item.done->set_value(true);
}

void ControlLoop::Run() {
  BindToCurrentThread();
  while (WaitForWork()) RunPending();
}

void ControlLoop::RunPending() {
  std::thread::id unbound;
  thread_.compare_exchange_strong(unbound, std::this_thread::get_id());
  if (!OnLoopThread() || busy_) return;
  while (std::optional<Item> item = TakeWaiting()) RunItem(*item);
}

void ControlLoop::Quit() {
  std::deque<Item> dropped;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    quit_ = true;
    dropped.swap(queue_);
  }
  cv_.notify_all();
  for (Item& item : dropped) {
    if (item.done) item.done->set_value(false);
  }
  Wake();
}

}  // namespace velmora
