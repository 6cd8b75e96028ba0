// The virtual adapter's driver on a real multi-queue TAP device in a network namespace of the
// test's own, with the kernel routing a subnet into it.
#include "platform/corvid_driver.h"

#include <gtest/gtest.h>

#include <array>
#include <future>
#include <string>
#include <vector>

#include "packet/inserter_datagram.h"
#include "testing/adapter_namespace.h"
#include "testing/bytes.h"

namespace velmora {
namespace {

using testing::AdapterNamespaceTest;
using testing::Eventually;
using testing::Hex;
using testing::kAdapterAlias;
using testing::kPatience;
using testing::NetworkNamespace;

class CorvidDriverTest : public AdapterNamespaceTest {
 protected:
  void SetUp() override {
    AdapterNamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_GE(driver_.CorvidOpen(kAdapterAlias), 0);
    ASSERT_TRUE(driver_.CorvidSetFrameEvent(frame_event_));
    ASSERT_TRUE(driver_.CorvidSetArpEvent(arp_event_));
    AskOnce();
    ASSERT_EQ(Run("ip route add 10.1.0.0/16 dev corvid0 && ip neigh replace 10.1.0.7 lladdr "
                  "02:00:00:00:00:07 dev corvid0 nud permanent"),
              0);
  }
  // Reads frames until `count` IPv4 frames came; their destinations' last bytes.
  std::vector<uint8_t> ReadIpv4Frames(size_t count) {
    std::vector<uint8_t> last_bytes;
    Eventually([&] {
      if (frame_event_.Ready() && driver_.CorvidGetFrames(batch_) > 0) {
        for (size_t i = 0; i < batch_.size(); ++i) last_bytes.push_back(batch_.frame(i)[33]);
      }
      return last_bytes.size() >= count;
    });
    return last_bytes;
  }

  // The events first: the driver, which watches them, goes before them.
  DriverEvent frame_event_;
  DriverEvent arp_event_;
  CorvidDriver driver_;
  FrameBatch batch_{kQosHeaderSize};
};

TEST(CorvidDriverAbsentTest, OpenFindsNoAdapterAndCreatesNone) {
  if (const std::string why = NetworkNamespace::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  NetworkNamespace ns;
  ASSERT_TRUE(ns.entered());
  CorvidDriver driver;
  EXPECT_EQ(driver.CorvidOpen(kAdapterAlias), -1);
  // A device with the alias that is not a TAP, a TAP without the alias, and a TAP with it but
  // with one queue only are not the adapter.
  ASSERT_EQ(
      ns.Run(
          std::string(
              "ip link add corvid0 type veth peer name corvidp && ip link set corvid0 alias \"") +
          kAdapterAlias + "\" && ip tuntap add dev corvid1 mode tap"),
      0);
  EXPECT_EQ(driver.CorvidOpen(kAdapterAlias), -1);
  ASSERT_EQ(
      ns.Run(std::string("ip tuntap add dev corvid2 mode tap && ip link set corvid2 alias \"") +
             kAdapterAlias + "\""),
      0);
  EXPECT_EQ(driver.CorvidOpen(kAdapterAlias), -1);
  EXPECT_EQ(ns.Run("ip -d link show corvid0 | grep -q veth"), 0);
  EXPECT_EQ(driver.handle(), -1);
  DriverEvent event;
  EXPECT_FALSE(driver.CorvidSetFrameEvent(event));
}

TEST_F(CorvidDriverTest, ArpFramesWaitApartAndAreReadWhileFramesWaitUnread) {
  for (int i = 0; i < 3; ++i) sender_->Send("10.1.0.7", 5000, "to .7");
  sender_->Send("10.1.0.5", 5000, "who is .5");
  sender_->Send("10.1.0.6", 5000, "who is .6");
  // The requests come out of their own queue while the frames before them are still unread;
  // each is taken once, and the event stays signalled while one waits.
  std::array<uint8_t, 16384> arp{};
  uint32_t length = 0;
  for (const uint8_t target : {5, 6}) {
    ASSERT_TRUE(Eventually([&] { return arp_event_.Ready(); }));
    arp_event_.Wait();
    ASSERT_EQ(driver_.CorvidGetArp(arp, length), 1);
    ASSERT_EQ(length, 42u);
    EXPECT_EQ(Hex(std::span(arp).subspan(12, 2)), "0806");
    EXPECT_EQ(arp[41], target);
  }
  EXPECT_FALSE(arp_event_.Ready());
  EXPECT_EQ(driver_.CorvidGetArp(arp, length), 0);
  EXPECT_TRUE(frame_event_.Ready());
  EXPECT_EQ(ReadIpv4Frames(3), std::vector<uint8_t>({7, 7, 7}));
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, TheFrameEventStaysSignalledWhileFramesWait) {
  for (int i = 0; i < 3; ++i) sender_->Send("10.1.0.7", 5000, "to .7");
  std::vector<uint8_t> buffer(FrameBatch::kFrameRoom);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Eventually([&] { return frame_event_.Ready(); }));
    frame_event_.Wait();
    uint32_t length = 0;
    ASSERT_TRUE(Eventually([&] { return driver_.CorvidGetFrame(buffer, length); }));
    EXPECT_EQ(length, 14u + 20 + 8 + 5);
  }
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, TheQueuesAreBoundedAndWhatTheyDropIsCounted) {
  ASSERT_EQ(Run("ip link set corvid0 txqueuelen 8"), 0);
  for (int i = 0; i < 20; ++i) sender_->Send("10.1.0.7", 5000, "to .7");
  EXPECT_TRUE(Eventually([&] { return driver_.dropped() == 12; })) << driver_.dropped();
  EXPECT_EQ(ReadIpv4Frames(8).size(), 8u);
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, ASignalWakesAWaitWithNothingToRead) {
  auto frame_wait = std::async(std::launch::async, [this] { frame_event_.Wait(); });
  auto arp_wait = std::async(std::launch::async, [this] { arp_event_.Wait(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  arp_event_.Signal();
  frame_event_.Signal();
  EXPECT_EQ(frame_wait.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(arp_wait.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(frame_event_.Ready());
}

TEST_F(CorvidDriverTest, TheAdapterHasOneDriverAtATime) {
  CorvidDriver second;
  EXPECT_EQ(second.CorvidOpen(kAdapterAlias), -1);
  EXPECT_EQ(second.failure(), "corvid0 is in use by another router");
  driver_.CorvidClose();
  EXPECT_GE(second.CorvidOpen(kAdapterAlias), 0);
}

TEST_F(CorvidDriverTest, AnAdapterRemovedUnderTheDriverFailsItsReads) {
  ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " remove >/dev/null"), 0);
  std::array<uint8_t, 64> arp{};
  uint32_t length = 0;
  EXPECT_TRUE(arp_event_.Ready());  // the failed queue wakes its reader, which must stop
  EXPECT_LT(driver_.CorvidGetArp(arp, length), 0);
  EXPECT_LT(driver_.CorvidGetFrames(batch_), 0);
}

TEST_F(CorvidDriverTest, CloseDetachesAndLeavesThePersistentAdapter) {
  driver_.CorvidClose();
  EXPECT_EQ(driver_.handle(), -1);
  EXPECT_EQ(Run("ip link show corvid0 >/dev/null"), 0);
  EXPECT_GE(driver_.CorvidOpen(kAdapterAlias), 0);
}

}  // namespace
}  // namespace velmora
