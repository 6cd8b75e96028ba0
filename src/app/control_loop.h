#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace velmora {

// The control thread's queue: start, stop, settings changes, counter resets and exit all run as
// tasks on the one thread that calls Run, one at a time and in the order posted. Any thread may
// post; the remote control posts and waits. The control thread's own callers (the window's menu,
// the settings pages) run their commands at once. A task never runs inside another: an event
// loop nested in a task (a modal message box during a start) leaves the waiting tasks waiting.
class ControlLoop {
 public:
  using Task = std::function<void()>;

  // False when the loop has quit; the task is then not run.
  bool Post(Task task);
  // Returns once the task has run (true), or the loop quit before running it (false). On the
  // loop's own thread the task runs at once, inside whatever task is running.
  bool PostAndWait(Task task);
  // Runs tasks until Quit is called from one of them (or from elsewhere). The calling thread
  // becomes the loop's thread.
  void Run();
  // Runs the tasks waiting now and returns: what an event loop of the loop's thread other than Run
  // (a window's, or one nested in a dialog) calls when the loop has work. Runs none while a task
  // is running. Loop thread only.
  void RunPending();
  void Quit();

 private:
  struct Item {
    Task task;
    std::shared_ptr<std::promise<bool>> done;
  };
  bool Enqueue(Item item);
  bool OnLoopThread() const;
  // Waits until a task waits (true) or the loop quits (false).
  bool WaitForWork();
  // The oldest waiting item; none when the loop quit.
  std::optional<Item> TakeWaiting();
  // Runs the task with the loop marked busy, so that nothing nested in it runs another.
  void RunTask(const Task& task);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  bool quit_ = false;
  std::atomic<std::thread::id> thread_{};
  bool busy_ = false;  // loop thread only
};

}  // namespace velmora
