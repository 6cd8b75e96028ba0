#include "app/bandwidth_service.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/settings.h"
#include "bandwidth/bwc_controller.h"
#include "platform/address_text.h"
#include "support/log.h"
#include "tables/network_tables.h"
#include "tables/user_profile_list.h"
#include "testing/list_console.h"

namespace velmora {
namespace {

using TessaroBWControl::BWCController;

class BandwidthServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    settings_.MaxPayloadCut = 4'000'000;
    settings_.BufTime = 1000;
    settings_.DefaultUP = std::string("Free");
    profiles_.ReadLine("Gold=2000000,1000000,500000");
    profiles_.ReadLine("Free=1000000,1000000,0");
  }
  void SetRows(std::initializer_list<std::pair<const char*, const char*>> rows) {
    TableSnapshot snapshot;
    for (const auto& [address, profile] : rows) {
      snapshot.InsertIpMacRow({.address = DottedToAddress(address), .profile_alias = profile});
    }
    tables_.Publish(std::move(snapshot));
  }

  SimulatedClock clock_;
  Log log_;
  testing::ListConsole console_;
  Settings settings_;
  NetworkTables tables_;
  UserProfileList profiles_{log_};
  BWCController bwc_{clock_, log_};
  int shaping_stopped_ = 0;
  BandwidthService service_{{settings_, tables_, profiles_, bwc_, log_},
                            [this] { ++shaping_stopped_; }};
};

TEST_F(BandwidthServiceTest, StartLoadsProfilesAndRowsWithTheDefaultProfileForUnnamedRows) {
  SetRows({{"10.0.0.1", "Gold"}, {"10.0.0.2", ""}});
  EXPECT_TRUE(service_.Start());
  EXPECT_TRUE(service_.running());
  EXPECT_TRUE(bwc_.enabled());
  EXPECT_TRUE(console_.Has("Bandwidth management is started"));
  EXPECT_EQ(bwc_.physical_bandwidth(), 4'000'000u);
  EXPECT_EQ(bwc_.Queue(DottedToAddress("10.0.0.1"))->capacity, 1'000'000u * 1000 / 8000);
  EXPECT_EQ(bwc_.Queue(DottedToAddress("10.0.0.2"))->profile.alias, "Free");
  service_.Stop();
  EXPECT_FALSE(service_.running());
  EXPECT_FALSE(bwc_.enabled());
  EXPECT_FALSE(bwc_.Profile("Gold"));
  EXPECT_TRUE(console_.Has("Bandwidth management disable"));
  EXPECT_EQ(shaping_stopped_, 0);
}

TEST_F(BandwidthServiceTest, FollowReloadsOrStopsShapingOfARunningServiceAndHandsOverTheQueue) {
  SetRows({{"10.0.0.1", "Gold"}});
  service_.Follow(false);
  EXPECT_FALSE(service_.running());
  service_.Follow(true);
  EXPECT_TRUE(service_.running());
  EXPECT_EQ(shaping_stopped_, 0);
  service_.Follow(true);  // a reload: the queue is served while the controller is cleared
  EXPECT_TRUE(service_.running());
  EXPECT_EQ(shaping_stopped_, 1);
  settings_.EnableBandwidth = false;
  service_.Follow(true);
  EXPECT_FALSE(service_.running());
  EXPECT_FALSE(bwc_.enabled());
  EXPECT_EQ(shaping_stopped_, 2);
  service_.Follow(true);
  EXPECT_EQ(shaping_stopped_, 2);
}

TEST_F(BandwidthServiceTest, StartLoadsIpv6RowsWithTheirProfileOrTheDefault) {
  TableSnapshot snapshot;
  snapshot.InsertIpMacRow({.address = DottedToAddress("10.0.0.5"), .profile_alias = "Gold"});
  const Ipv6Address gold = *TextToIpv6("2001:db8::a00:5");  // shares 10.0.0.5's last bytes
  const Ipv6Address unnamed = *TextToIpv6("2001:db8::7");
  snapshot.InsertIpv6MacRow({.address = gold, .profile_alias = "Gold"});
  snapshot.InsertIpv6MacRow({.address = unnamed});
  tables_.Publish(std::move(snapshot));
  EXPECT_TRUE(service_.Start());
  EXPECT_EQ(bwc_.Queue(gold)->profile.alias, "Gold");
  EXPECT_EQ(bwc_.Queue(unnamed)->profile.alias, "Free");
  EXPECT_EQ(bwc_.Queue(DottedToAddress("10.0.0.5"))->profile.alias, "Gold");
}

TEST_F(BandwidthServiceTest, AnIpv6RowBeyondItsProfileStopsShapingWithItsText) {
  profiles_.ReadLine("Tight=1000000,500000,500000");
  TableSnapshot snapshot;
  for (const char* address : {"2001:db8::1", "2001:db8::2", "2001:db8::3"}) {
    snapshot.InsertIpv6MacRow({.address = *TextToIpv6(address), .profile_alias = "Tight"});
  }
  tables_.Publish(std::move(snapshot));
  EXPECT_FALSE(service_.Start());
  EXPECT_TRUE(
      console_.Has("Tight - Exceed summary bandwidth for this User Profile. IP - 2001:db8::3"));
  EXPECT_TRUE(console_.Has("Bandwidth management disable"));
  EXPECT_EQ(shaping_stopped_, 1);
}

TEST_F(BandwidthServiceTest, ARowWithAMissingProfileStopsShapingWithItsMessage) {
  SetRows({{"10.0.0.1", "Gold"}, {"10.0.0.2", "Tin"}});
  EXPECT_FALSE(service_.Start());
  EXPECT_FALSE(service_.running());
  EXPECT_TRUE(console_.Has("Not found User Profile alias: \"Tin\"."));
  EXPECT_TRUE(console_.Has("Bandwidth management disable"));
  EXPECT_FALSE(bwc_.Queue(DottedToAddress("10.0.0.1")));  // cleared
  EXPECT_EQ(shaping_stopped_, 1);
}

TEST_F(BandwidthServiceTest, PhysicalBandwidthIsClampedAndApplied) {
  SetRows({{"10.0.0.1", "Gold"}});
  service_.Start();
  service_.ApplyPhysicalBandwidth(20'000'000, true);
  EXPECT_TRUE(
      console_.Has("Physical Bandwidth value is more, than MAXIMUM value. Set to 15000000"));
  EXPECT_EQ(bwc_.physical_bandwidth(), 15'000'000u);
  EXPECT_EQ(settings_.MaxPayloadCut, 15'000'000);
  // Below the profiles' 3,000,000 in total: shaping stops and the ordinary output takes over.
  service_.ApplyPhysicalBandwidth(100, true);
  EXPECT_TRUE(console_.Has("Physical Bandwidth value is less MINIMUM value. Set to 2000000"));
  EXPECT_TRUE(
      console_.Has("New physical bandwidth value is less than summa of User Profiles Summary BW"));
  EXPECT_FALSE(service_.running());
  EXPECT_EQ(shaping_stopped_, 1);
  // Enabled and the service running: a new value starts shaping again.
  service_.ApplyPhysicalBandwidth(3'000'000, true);
  EXPECT_TRUE(service_.running());
  service_.ApplyPhysicalBandwidth(5'000'000, false);
  EXPECT_EQ(bwc_.physical_bandwidth(), 5'000'000u);
  service_.Stop();
  service_.ApplyPhysicalBandwidth(5'000'000, false);  // stopped service: nothing starts
  EXPECT_FALSE(service_.running());
}

// The start walks the rows of the snapshot it took while a remote session publishes new ones:
// the rows it reads stay alive until it is done (a TSan or ASan build sees any that do not).
TEST_F(BandwidthServiceTest, StartReadsRowsThatAPublishFromAnotherThreadCannotFree) {
  constexpr uint32_t kRows = 64;
  const auto row_address = [](uint32_t i) { return DottedToAddress("10.0.0.0") + htonl(i); };
  std::atomic<bool> done{false};
  std::thread publisher([&] {
    while (!done) {
      TableSnapshot snapshot;
      for (uint32_t i = 1; i <= kRows; ++i) snapshot.InsertIpMacRow({.address = row_address(i)});
      tables_.Publish(std::move(snapshot));
    }
  });
  SetRows({{"10.0.0.1", ""}});
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(service_.Start());
    EXPECT_TRUE(bwc_.Queue(row_address(1)));
    service_.Stop();
  }
  done = true;
  publisher.join();
}

}  // namespace
}  // namespace velmora
