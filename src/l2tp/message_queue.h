#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace velmora::l2tp {

// Carries the server's texts to their receiver on a thread of its own, so that the server thread
// never waits for the receiver. Holds at most 10,000 texts; beyond that the oldest go, and the
// receiver is told how many. Any thread may push; the receiver runs on the queue's thread.
class MessageQueue {
 public:
  static constexpr size_t kCapacity = 10000;

  explicit MessageQueue(std::function<void(const std::string&)> receiver);
  ~MessageQueue();
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  void Push(std::string text);
  // Waits until every text pushed so far has reached the receiver.
  void Flush();

 private:
  void Run();

  std::function<void(const std::string&)> receiver_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> texts_;
  size_t lost_ = 0;
  bool delivering_ = false;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velmora::l2tp
