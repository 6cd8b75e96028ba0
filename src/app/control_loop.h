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
// tasks on the loop's thread, one at a time and in the order posted. Any thread may post; the
// remote control posts and waits. A call made on the loop's own thread (the window's menu, a
// settings page) runs at once, even from an event loop nested in a running task. Tasks queued by
// other threads never run inside a task: an event loop nested in one (a modal message box during
// a start) leaves them waiting until the task is over.
class ControlLoop {
 public:
  using Task = std::function<void()>;

  // False when the loop has quit; the task is then not run.
  bool Post(Task task);
  // Returns once the task has run (true), or the loop quit before running it (false). On the
  // loop's own thread the task runs at once. An exception the task throws reaches the caller.
  bool PostAndWait(Task task);
  // Makes the calling thread the loop's thread: from now on its PostAndWait calls run at once.
  // Run calls it; an event loop that drives the queue through RunPending calls it before its
  // thread first posts and waits.
  void BindToCurrentThread();
  // Runs tasks until Quit is called from one of them (or from elsewhere). The calling thread
  // becomes the loop's thread.
  void Run();
  // Runs the tasks waiting now and returns: what an event loop of the loop's thread other than Run
  // (a window's, or one nested in a dialog) calls when the loop has work. Runs none while a task
  // is running, nor on a thread other than the loop's; a loop not bound yet becomes bound to the
  // calling thread. A task that throws hands its exception to its waiter; one that nobody waits
  // for throws out of RunPending (and Run), leaving the tasks behind it queued for the next call.
  void RunPending();
  // Ends the loop: the tasks still queued never run and their waiters get false.
  void Quit();
  // Called after every post, on the posting thread, and after Quit: how an event loop other than
  // Run learns that it has work and then calls RunPending on the loop's thread. Any thread may set
  // or clear it while others post; work posted before it is set waits for the next RunPending.
  void set_wakeup(std::function<void()> wakeup);
  // True while a task runs on the loop's thread; any thread may ask.
  bool busy() const { return busy_.load(); }
  bool quit() const;

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
  // Runs a queued item and tells its waiter, if any, how it went.
  void RunItem(Item& item);

  void Wake() const;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Item> queue_;
  bool quit_ = false;
  std::atomic<std::thread::id> thread_{};
  std::atomic<bool> busy_{false};    // written by the loop thread only
  mutable std::mutex wakeup_mutex_;  // guards wakeup_; held while it is called
  std::function<void()> wakeup_;
};

}  // namespace velmora
