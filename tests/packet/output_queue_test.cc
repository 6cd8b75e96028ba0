#include "packet/output_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>

namespace velmora {
namespace {

using Buffer = std::array<uint8_t, OutputQueue::kSlotSize>;

// A datagram of `size` bytes (at least 3) naming its producer and sequence number.
std::vector<uint8_t> Datagram(uint32_t producer, uint32_t sequence, size_t size = 12) {
  std::vector<uint8_t> d(std::max<size_t>(size, 3), static_cast<uint8_t>(sequence));
  d[0] = static_cast<uint8_t>(producer);
  d[1] = static_cast<uint8_t>(sequence >> 8);
  d[2] = static_cast<uint8_t>(sequence);
  d.resize(size);
  return d;
}

TEST(OutputQueueTest, FirstInFirstOutByteForByte) {
  OutputQueue queue;
  queue.Resume();
  Buffer out;
  EXPECT_TRUE(queue.Push(Datagram(1, 1, 4096)));
  EXPECT_TRUE(queue.Push(std::vector<uint8_t>(4097, 7)));  // dropped, counted as done
  EXPECT_TRUE(queue.Push(Datagram(1, 2, 1)));
  EXPECT_TRUE(queue.Push({}));
  EXPECT_EQ(queue.size(), 3u);
  ASSERT_EQ(queue.Pop(out), 4096u);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), Datagram(1, 1, 4096).begin()));
  ASSERT_EQ(queue.Pop(out), 1u);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(queue.Pop(out), 0u);
}

TEST(OutputQueueTest, AFullQueueHoldsThePushUntilAPopOrAStop) {
  OutputQueue queue;
  queue.Resume();
  for (uint32_t i = 0; i < OutputQueue::kSlots; ++i) ASSERT_TRUE(queue.Push(Datagram(0, i)));
  auto blocked = std::async(std::launch::async, [&] { return queue.Push(Datagram(0, 999)); });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  Buffer out;
  ASSERT_TRUE(queue.Pop(out));
  EXPECT_TRUE(blocked.get());  // stored, not dropped
  EXPECT_EQ(queue.size(), OutputQueue::kSlots);

  auto stopped = std::async(std::launch::async, [&] { return queue.Push(Datagram(0, 1000)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.Stop();
  EXPECT_FALSE(stopped.get());
}

TEST(OutputQueueTest, AStopEndsAWaitingPopEvenIfItComesFirst) {
  OutputQueue queue;
  queue.Stop();  // before the pop waits: still seen
  Buffer out;
  EXPECT_FALSE(queue.Pop(out));
  queue.Resume();
  auto waiting = std::async(std::launch::async, [&] { return queue.Pop(out); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.Stop();
  EXPECT_FALSE(waiting.get());
  queue.Resume();
  ASSERT_TRUE(queue.Push(Datagram(3, 3)));
  EXPECT_EQ(queue.Pop(out), 12u);
}

TEST(OutputQueueTest, AStoppedQueueTakesNothingAndAResumedOneStartsEmpty) {
  OutputQueue queue;
  EXPECT_FALSE(queue.Push(Datagram(0, 1)));                 // no sending thread has started yet
  EXPECT_FALSE(queue.Push(std::vector<uint8_t>(4097, 7)));  // nor for one it would drop
  EXPECT_EQ(queue.size(), 0u);
  queue.Resume();
  ASSERT_TRUE(queue.Push(Datagram(0, 2)));
  ASSERT_TRUE(queue.Push(Datagram(0, 3)));
  queue.Stop();
  EXPECT_FALSE(queue.Push(Datagram(0, 4)));  // a source still delivering after the stop
  EXPECT_FALSE(queue.Push(std::vector<uint8_t>(4097, 7)));
  Buffer out;
  ASSERT_EQ(queue.Pop(out), 12u);  // the stopping sending thread may still send what it had
  EXPECT_EQ(out[2], 2);
  EXPECT_EQ(queue.size(), 1u);
  queue.Resume();
  EXPECT_EQ(queue.size(), 0u);  // nothing of the last run goes out in the next one
  ASSERT_TRUE(queue.Push(Datagram(0, 5)));
  ASSERT_EQ(queue.Pop(out), 12u);
  EXPECT_EQ(out[2], 5);
}

TEST(OutputQueueTest, APopWithADeadlineEndsAtItOnTheClock) {
  OutputQueue queue;
  queue.Resume();
  SimulatedClock clock;
  Buffer out;
  const Clock::TimePoint deadline = clock.Now() + std::chrono::seconds(1);
  auto waiting =
      std::async(std::launch::async, [&] { return queue.PopBefore(out, clock, deadline); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  clock.Advance(std::chrono::seconds(1));
  EXPECT_FALSE(waiting.get());
  ASSERT_TRUE(queue.Push(Datagram(0, 6)));
  EXPECT_EQ(queue.PopBefore(out, clock, deadline), 12u);  // one waiting: no wait at all
}

// Several sources push while the sending thread pops: nothing lost, each source's order kept.
TEST(OutputQueueTest, ManyProducersOneConsumer) {
  OutputQueue queue;
  queue.Resume();
  constexpr uint32_t kProducers = 4, kEach = 3000;
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (uint32_t i = 0; i < kEach; ++i) EXPECT_TRUE(queue.Push(Datagram(p, i)));
    });
  }
  std::array<uint32_t, kProducers> next{};
  Buffer out;
  for (uint32_t received = 0; received < kProducers * kEach; ++received) {
    ASSERT_EQ(queue.Pop(out), 12u);
    const uint32_t sequence = uint32_t{out[1]} << 8 | out[2];
    ASSERT_EQ(sequence, next[out[0]]++ & 0xffff);
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace velmora
