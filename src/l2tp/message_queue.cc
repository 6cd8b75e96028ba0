#include "l2tp/message_queue.h"

namespace velmora::l2tp {

MessageQueue::MessageQueue(std::function<void(const std::string&)> receiver)
    : receiver_(std::move(receiver)), thread_([this] { Run(); }) {}

MessageQueue::~MessageQueue() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void MessageQueue::Push(std::string text) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (texts_.size() >= kCapacity) {
      texts_.pop_front();
      ++lost_;
    }
    texts_.push_back(std::move(text));
  }
  changed_.notify_all();
}

void MessageQueue::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return texts_.empty() && !delivering_; });
}

void MessageQueue::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stop_ || !texts_.empty(); });
    if (texts_.empty()) return;  // stopping, and everything delivered
    std::string text = std::move(texts_.front());
    texts_.pop_front();
    const size_t lost = lost_;
    lost_ = 0;
    delivering_ = true;
    lock.unlock();
    if (lost > 0) receiver_(std::to_string(lost) + " messages lost (the receiver was too slow)");
    receiver_(text);
    lock.lock();
    delivering_ = false;
    changed_.notify_all();
  }
}

}  // namespace velmora::l2tp
