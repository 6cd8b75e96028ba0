#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace velmora {

// The control thread's queue: start, stop, settings changes, counter resets and exit all run as
// tasks on the one thread that calls Run, one at a time and in the order posted. Any thread may
// post; the remote control posts and waits.
class ControlLoop {
 public:
  using Task = std::function<void()>;

  // False when the loop has quit; the task is then not run.
  bool Post(Task task);
  // Returns once the task has run (true), or the loop quit before running it (false).
  bool PostAndWait(Task task);
  // Runs tasks until Quit is called from one of them (or from elsewhere).
  void Run();
  void Quit();

 private:
  struct Item {
    Task task;
    std::shared_ptr<std::promise<bool>> done;
  };
  bool Enqueue(Item item);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  bool quit_ = false;
};

}  // namespace velmora
