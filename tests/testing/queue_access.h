#pragma once

#include <deque>
#include <span>
#include <string>
#include <string_view>

#include "packet/output_queue.h"

namespace velmora::testing {

// One datagram pushed as a batch of its own; true when the queue took it.
inline bool PushText(OutputQueue& queue, std::string_view text) {
  const std::span<const uint8_t> datagram(reinterpret_cast<const uint8_t*>(text.data()),
                                          text.size());
  return queue.Push({&datagram, 1}) == 1;
}

// Takes from an output queue in place of the sending thread and hands the datagrams out one by
// one, in order. The test's thread only.
class QueueReader {
 public:
  explicit QueueReader(OutputQueue& queue) : queue_(queue) {}

  // The next datagram, waiting for one; "<stopped>" when the queue is stopped and empty.
  std::string Next() {
    if (taken_.empty()) Take();
    if (taken_.empty()) return "<stopped>";
    std::string next = std::move(taken_.front());
    taken_.pop_front();
    return next;
  }
  // Whether a datagram waits here or in the queue.
  bool Waiting() const { return !taken_.empty() || queue_.size() > 0; }
  // Forgets everything that waits, without waiting.
  void Drain() {
    while (queue_.size() > 0) Take();
    taken_.clear();
  }

 private:
  void Take() {
    for (const std::span<const uint8_t> datagram : queue_.Front()) {
      taken_.emplace_back(datagram.begin(), datagram.end());
    }
    queue_.Release();
  }

  OutputQueue& queue_;
  std::deque<std::string> taken_;
};

}  // namespace velmora::testing
