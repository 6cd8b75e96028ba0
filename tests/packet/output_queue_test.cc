#include "packet/output_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

#include "testing/velmora_process.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;

// A datagram of `size` bytes (at least 3) naming its producer and sequence number.
Bytes Datagram(uint32_t producer, uint32_t sequence, size_t size = 12) {
  Bytes d(std::max<size_t>(size, 3), static_cast<uint8_t>(sequence));
  d[0] = static_cast<uint8_t>(producer);
  d[1] = static_cast<uint8_t>(sequence >> 8);
  d[2] = static_cast<uint8_t>(sequence);
  d.resize(size);
  return d;
}

size_t Push(OutputQueue& queue, const std::vector<Bytes>& datagrams) {
  const std::vector<std::span<const uint8_t>> views(datagrams.begin(), datagrams.end());
  return queue.Push(views);
}

// What Front gives, copied, and released.
std::vector<Bytes> Take(OutputQueue& queue) {
  std::vector<Bytes> taken;
  for (const std::span<const uint8_t> datagram : queue.Front()) {
    taken.emplace_back(datagram.begin(), datagram.end());
  }
  queue.Release();
  return taken;
}

TEST(OutputQueueTest, ABatchGoesInAndComesOutInOrderByteForByte) {
  OutputQueue queue;
  queue.Resume();
  // Over 4096 bytes: dropped, counted as taken; an empty one is a datagram.
  EXPECT_EQ(Push(queue, {Datagram(1, 1, 4096), Bytes(4097, 7), Datagram(1, 2, 1), {}}), 4u);
  EXPECT_EQ(queue.dropped(), 1u);
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_EQ(Take(queue), (std::vector<Bytes>{Datagram(1, 1, 4096), Datagram(1, 2, 1), {}}));
  EXPECT_EQ(queue.size(), 0u);
}

TEST(OutputQueueTest, FrontGivesAtMostABatchAndItsViewsSurvivePushesUntilRelease) {
  OutputQueue queue;
  queue.Resume();
  std::vector<Bytes> first;
  for (uint32_t i = 0; i < 100; ++i) first.push_back(Datagram(0, i, 100 + i));
  ASSERT_EQ(Push(queue, first), 100u);
  const OutputQueue::Datagrams front = queue.Front();
  ASSERT_EQ(front.size(), kDatagramBatch);
  // The ring fills up to its last free slot around the views handed out.
  std::vector<Bytes> more;
  for (uint32_t i = 0; i < OutputQueue::kSlots - 100; ++i) more.push_back(Datagram(1, i, 4096));
  ASSERT_EQ(Push(queue, more), more.size());
  for (size_t i = 0; i < front.size(); ++i) {
    ASSERT_TRUE(std::equal(front[i].begin(), front[i].end(), first[i].begin(), first[i].end()));
  }
  queue.Release();
  EXPECT_EQ(queue.size(), OutputQueue::kSlots - kDatagramBatch);
  const std::vector<Bytes> rest = Take(queue);
  ASSERT_EQ(rest.size(), kDatagramBatch);
  EXPECT_EQ(rest[0], first[kDatagramBatch]);
  EXPECT_EQ(rest.back(), more[kDatagramBatch - 36 - 1]);
}

TEST(OutputQueueTest, ABatchLargerThanTheRoomWaitsForItAndKeepsItsOrder) {
  OutputQueue queue;
  queue.Resume();
  std::vector<Bytes> full;
  for (uint32_t i = 0; i < OutputQueue::kSlots - 2; ++i) full.push_back(Datagram(0, i));
  ASSERT_EQ(Push(queue, full), full.size());
  const std::vector<Bytes> batch = {Datagram(1, 0), Datagram(1, 1), Datagram(1, 2), Datagram(1, 3)};
  auto blocked = std::async(std::launch::async, [&] { return Push(queue, batch); });
  // The first two go in before the wait.
  ASSERT_TRUE(testing::WaitFor([&] { return queue.size() == OutputQueue::kSlots; }));
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  std::vector<Bytes> out;
  while (out.size() < full.size() + batch.size()) {
    for (Bytes& datagram : Take(queue)) out.push_back(std::move(datagram));
  }
  EXPECT_EQ(blocked.get(), batch.size());  // stored, not dropped
  EXPECT_TRUE(std::equal(batch.begin(), batch.end(), out.end() - 4));

  ASSERT_EQ(Push(queue, full), full.size());
  auto stopped = std::async(std::launch::async, [&] { return Push(queue, batch); });
  ASSERT_TRUE(testing::WaitFor([&] { return queue.size() == OutputQueue::kSlots; }));
  queue.Stop();
  EXPECT_EQ(stopped.get(), 2u);  // the part that found room
}

TEST(OutputQueueTest, AStopEndsAWaitingFrontEvenIfItComesFirst) {
  OutputQueue queue;
  queue.Stop();  // before the wait: still seen
  EXPECT_TRUE(queue.Front().empty());
  queue.Resume();
  auto waiting = std::async(std::launch::async, [&] { return queue.Front().size(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue.Stop();
  EXPECT_EQ(waiting.get(), 0u);
  queue.Resume();
  ASSERT_EQ(Push(queue, {Datagram(3, 3)}), 1u);
  EXPECT_EQ(Take(queue), std::vector<Bytes>{Datagram(3, 3)});
}

TEST(OutputQueueTest, AStoppedQueueTakesNothingAndAResumedOneStartsEmpty) {
  OutputQueue queue;
  EXPECT_EQ(Push(queue, {Datagram(0, 1)}), 0u);  // no sending thread has started yet
  EXPECT_EQ(Push(queue, {Bytes(4097, 7)}), 0u);  // nor for one it would drop
  EXPECT_EQ(queue.size(), 0u);
  queue.Resume();
  ASSERT_EQ(Push(queue, {Datagram(0, 2), Datagram(0, 3)}), 2u);
  queue.Stop();
  EXPECT_EQ(Push(queue, {Datagram(0, 4), Bytes(4097, 7)}), 0u);  // a source after the stop
  // The stopping sending thread may still send what it had.
  EXPECT_EQ(Take(queue), (std::vector<Bytes>{Datagram(0, 2), Datagram(0, 3)}));
  ASSERT_EQ(Push(queue, {}), 0u);
  queue.Resume();
  ASSERT_EQ(Push(queue, {Datagram(0, 5)}), 1u);
  queue.Stop();
  queue.Resume();
  EXPECT_EQ(queue.size(), 0u);  // nothing of the last run goes out in the next one
}

TEST(OutputQueueTest, AFrontWithADeadlineEndsAtItOnTheClock) {
  OutputQueue queue;
  queue.Resume();
  SimulatedClock clock;
  const Clock::TimePoint deadline = clock.Now() + std::chrono::seconds(1);
  auto waiting =
      std::async(std::launch::async, [&] { return queue.FrontBefore(clock, deadline).size(); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  clock.Advance(std::chrono::seconds(1));
  EXPECT_EQ(waiting.get(), 0u);
  ASSERT_EQ(Push(queue, {Datagram(0, 6)}), 1u);
  EXPECT_EQ(queue.FrontBefore(clock, deadline).size(), 1u);  // one waiting: no wait at all
  queue.Release();
}

// Several sources push batches of every size while the sending thread takes: nothing lost, each
// source's order kept.
TEST(OutputQueueTest, ManyProducersOneConsumer) {
  OutputQueue queue;
  queue.Resume();
  constexpr uint32_t kProducers = 4, kEach = 3000;
  std::vector<std::thread> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&queue, p] {
      for (uint32_t i = 0; i < kEach;) {
        std::vector<Bytes> batch;
        for (uint32_t n = 1 + (i + p) % kDatagramBatch; n > 0 && i < kEach; --n) {
          batch.push_back(Datagram(p, i++));
        }
        EXPECT_EQ(Push(queue, batch), batch.size());
      }
    });
  }
  std::array<uint32_t, kProducers> next{};
  for (uint32_t received = 0; received < kProducers * kEach;) {
    for (const Bytes& out : Take(queue)) {
      ASSERT_EQ(out.size(), 12u);
      const uint32_t sequence = uint32_t{out[1]} << 8 | out[2];
      ASSERT_EQ(sequence, next[out[0]]++ & 0xffff);
      ++received;
    }
  }
  for (std::thread& t : producers) t.join();
  EXPECT_EQ(queue.size(), 0u);
}

}  // namespace
}  // namespace velmora
