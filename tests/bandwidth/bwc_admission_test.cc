#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "bandwidth/bwc_controller.h"
#include "bandwidth/bwc_error.h"
#include "platform/address_text.h"
#include "support/log.h"

namespace velmora::TessaroBWControl {
namespace {

uint32_t Ip(const char* text) {
  return DottedToAddress(text);
}

class AdmissionTest : public ::testing::Test {
 protected:
  // The message of the BWCError that `operation` raises, or "" when it succeeds.
  static std::string Refusal(const std::function<void()>& operation) {
    try {
      operation();
    } catch (const BWCError& error) {
      return error.what();
    }
    return "";
  }

  SimulatedClock clock_;
  Log log_;
  BWCController bwc_{clock_, log_};
};

TEST_F(AdmissionTest, ProfileRulesInTheirOrder) {
  const auto add = [&](const char* alias, uint32_t s, uint32_t m, uint32_t g) {
    return Refusal([&] { bwc_.AddProfile(alias, s, m, g); });
  };
  EXPECT_EQ(add("A", 56000, 56000, 0), "A - Summary bandwidth more than physical bandwidth");
  bwc_.SetPhysicalBandwidth(15'000'000);
  EXPECT_EQ(add("A", 55999, 100, 0), "A - Summary bandwidth value don't belong to right range");
  EXPECT_EQ(add("A", 15'000'001, 100, 0),
            "A - Summary bandwidth more than physical bandwidth");  // the first rule comes first
  EXPECT_EQ(add("A", 1000000, 15'000'001, 0),
            "A - Maximum bandwidth value don't belong to right range");
  EXPECT_EQ(add("A", 3000000, 3000000, 2'000'001),
            "A - Guarantee bandwidth value don't belong to right range");
  EXPECT_EQ(add("A", 1000000, 1000001, 0),
            "A - Maximum bandwidth for each IP more than summary bandwidth");
  EXPECT_EQ(add("A", 1000000, 500000, 500001),
            "A - Guarantee bandwidth for each IP more than maximum bandwidth");
  EXPECT_EQ(add("A", 56000, 56000, 0), "");
  EXPECT_EQ(add("A", 56000, 56000, 0), "A - Duplicate User Profile");
  EXPECT_EQ(add("B", 14'944'000, 100, 0), "");  // exactly the physical bandwidth in total
  EXPECT_EQ(add("C", 56000, 100, 0), "C - Exceed physical bandwidth");
  EXPECT_EQ(bwc_.Profile("A")->peak, 0u);
}

TEST_F(AdmissionTest, SixtyFifthProfileIsRefusedEvenAsADuplicate) {
  bwc_.SetPhysicalBandwidth(15'000'000);
  for (int i = 0; i < 64; ++i) bwc_.AddProfile("P" + std::to_string(i), 56000, 0, 0);
  EXPECT_EQ(Refusal([&] { bwc_.AddProfile("P0", 56000, 0, 0); }),
            "P0 - Exceed maximum number of User Profile");
}

TEST_F(AdmissionTest, AddressRules) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("Gold", 1'000'000, 500'000, 250'000);
  bwc_.AddProfile("Free", 1'000'000, 500'000, 0);
  for (int i = 1; i <= 4; ++i) bwc_.AddAddress(Ip(("10.0.0." + std::to_string(i)).c_str()), "Gold");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(Ip("10.0.0.5"), "Gold"); }),
            "Gold - Exceed summary bandwidth for this User Profile. IP - 10.0.0.5");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(Ip("10.0.0.1"), "Free"); }), "10.0.0.1 - Duplicate IP");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(Ip("10.0.0.9"), "Tin"); }),
            "Not found User Profile alias: \"Tin\".");
  for (int i = 10; i < 200; ++i) {  // a guarantee of 0 takes any number
    bwc_.AddAddress(Ip(("10.0.1." + std::to_string(i)).c_str()), "Free");
  }
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(Ip("10.9.9.9"), "Free"); }),
            "10.9.9.9 - not found IP");
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(Ip("10.0.0.1"), "Tin"); }),
            "Not found User Profile alias: \"Tin\".");
  // Re-assigning an address to the profile it has counts it once.
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(Ip("10.0.0.4"), "Gold"); }), "");
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(Ip("10.0.1.10"), "Gold"); }),
            "Gold - Exceed summary bandwidth for this User Profile. IP - 10.0.1.10");
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(Ip("10.0.0.4"), "Free"); }), "");
  EXPECT_EQ(bwc_.Queue(Ip("10.0.0.4"))->profile.alias, "Free");
  EXPECT_EQ(Refusal([&] { bwc_.RemoveAddress(Ip("10.9.9.9")); }), "10.9.9.9 - not found IP");
}

TEST_F(AdmissionTest, Ipv6AddressRulesWithTheirTextAndSharedCounts) {
  const auto v6 = [](const char* text) { return *TextToIpv6(text); };
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("Gold", 1'000'000, 500'000, 250'000);
  bwc_.AddProfile("Free", 1'000'000, 500'000, 0);
  // IPv4 and IPv6 addresses count together against a profile's summary.
  bwc_.AddAddress(Ip("10.0.0.1"), "Gold");
  bwc_.AddAddress(Ip("10.0.0.2"), "Gold");
  bwc_.AddAddress(v6("2001:db8::1"), "Gold");
  bwc_.AddAddress(v6("2001:db8::a00:1"), "Gold");  // ends in the bytes of 10.0.0.1: its own row
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(v6("2001:db8::5"), "Gold"); }),
            "Gold - Exceed summary bandwidth for this User Profile. IP - 2001:db8::5");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(Ip("10.0.0.5"), "Gold"); }),
            "Gold - Exceed summary bandwidth for this User Profile. IP - 10.0.0.5");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(v6("2001:db8::1"), "Free"); }),
            "2001:db8::1 - Duplicate IP");
  EXPECT_EQ(Refusal([&] { bwc_.AddAddress(v6("2001:db8::9"), "Tin"); }),
            "Not found User Profile alias: \"Tin\".");
  EXPECT_EQ(Refusal([&] { bwc_.ChangeAddress(v6("2001:db8::9"), "Free"); }),
            "2001:db8::9 - not found IP");
  EXPECT_EQ(Refusal([&] { bwc_.RemoveAddress(v6("2001:db8::9")); }), "2001:db8::9 - not found IP");
  EXPECT_EQ(Refusal([&] { bwc_.ChangeProfile("Gold", 1'000'000, 500'000, 250'001); }),
            "Gold - Exceed summary bandwidth for this User Profile.");
  EXPECT_EQ(Refusal([&] { bwc_.RemoveProfile("Gold"); }),
            "Gold - IP(s) exist with this User Profile");
  bwc_.ChangeAddress(v6("2001:db8::1"), "Free");
  EXPECT_EQ(bwc_.Queue(v6("2001:db8::1"))->profile.alias, "Free");
  EXPECT_EQ(bwc_.Queue(v6("2001:db8::1"))->capacity, 500'000u * 3000 / 8000);
  bwc_.AddAddress(v6("2001:db8::5"), "Gold");  // room again
  bwc_.RemoveAddress(v6("2001:db8::a00:1"));
  EXPECT_FALSE(bwc_.Queue(v6("2001:db8::a00:1")));
  EXPECT_TRUE(bwc_.Queue(Ip("10.0.0.1")));
  bwc_.Clear();
  EXPECT_FALSE(bwc_.Queue(v6("2001:db8::5")));
}

TEST_F(AdmissionTest, ChangeAndRemoveProfile) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("Gold", 1'000'000, 500'000, 250'000);
  bwc_.AddProfile("Free", 500'000, 500'000, 0);
  for (int i = 1; i <= 3; ++i) bwc_.AddAddress(Ip(("10.0.0." + std::to_string(i)).c_str()), "Gold");
  const auto change = [&](const char* alias, uint32_t s, uint32_t m, uint32_t g) {
    return Refusal([&] { bwc_.ChangeProfile(alias, s, m, g); });
  };
  EXPECT_EQ(change("Tin", 100000, 0, 0), "Tin - Not exist User Profile");
  EXPECT_EQ(change("Gold", 1'000'000, 2'000'000, 0),
            "Gold - Maximum bandwidth for each IP more than summary bandwidth");
  EXPECT_EQ(change("Gold", 1'500'001, 500'000, 0), "Gold - Exceed physical bandwidth");
  EXPECT_EQ(change("Gold", 700'000, 500'000, 250'000),
            "Gold - Exceed summary bandwidth for this User Profile.");
  EXPECT_EQ(bwc_.Profile("Gold")->summary, 1'000'000u);  // a refusal changed nothing
  EXPECT_EQ(change("Gold", 1'500'000, 1'500'000, 500'000), "");
  EXPECT_EQ(bwc_.Queue(Ip("10.0.0.2"))->profile.maximum, 1'500'000u);
  EXPECT_EQ(bwc_.Queue(Ip("10.0.0.2"))->capacity, uint64_t{1'500'000} * 3000 / 8000);

  EXPECT_EQ(Refusal([&] { bwc_.RemoveProfile("Tin"); }), "Tin - Not exist User Profile");
  EXPECT_EQ(Refusal([&] { bwc_.RemoveProfile("Gold"); }),
            "Gold - IP(s) exist with this User Profile");
  for (int i = 1; i <= 3; ++i) bwc_.RemoveAddress(Ip(("10.0.0." + std::to_string(i)).c_str()));
  EXPECT_EQ(Refusal([&] { bwc_.RemoveProfile("Gold"); }), "");
  EXPECT_FALSE(bwc_.Profile("Gold"));
}

TEST_F(AdmissionTest, PhysicalBandwidth) {
  const auto set = [&](uint32_t v) { return Refusal([&] { bwc_.SetPhysicalBandwidth(v); }); };
  EXPECT_EQ(set(1'999'999), "Physical bandwidth value don't belong to right range");
  EXPECT_EQ(set(15'000'001), "Physical bandwidth value don't belong to right range");
  EXPECT_EQ(set(2'000'000), "");
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddProfile("B", 1'000'000, 1'000'000, 0);
  EXPECT_EQ(Refusal([&] { bwc_.AddProfile("C", 56000, 0, 0); }), "C - Exceed physical bandwidth");
  bwc_.SetPhysicalBandwidth(15'000'000);
  EXPECT_EQ(set(1'999'999), "Physical bandwidth value don't belong to right range");
  bwc_.AddProfile("C", 500'000, 0, 0);
  EXPECT_EQ(set(2'400'000),
            "New physical bandwidth value is less than summa of User Profiles Summary BW");
  EXPECT_EQ(bwc_.physical_bandwidth(), 15'000'000u);
  EXPECT_EQ(set(2'500'000), "");  // exactly the sum
}

TEST_F(AdmissionTest, CapacityAndOffsetInSixtyFourBits) {
  bwc_.SetPhysicalBandwidth(15'000'000);
  bwc_.SetBufferTime(10000);
  bwc_.AddProfile("Big", 15'000'000, 15'000'000, 2'000'000);
  bwc_.AddAddress(Ip("10.0.0.1"), "Big");
  // 15,000,000 x 10,000 overflows 32 bits.
  EXPECT_EQ(bwc_.Queue(Ip("10.0.0.1"))->capacity, 18'750'000u);
  EXPECT_EQ(bwc_.Queue(Ip("10.0.0.1"))->priority_offset, 1000u);
}

TEST_F(AdmissionTest, ClearRemovesEverythingAndDisablesTheSender) {
  bwc_.SetPhysicalBandwidth(2'000'000);
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);
  bwc_.AddAddress(Ip("10.0.0.1"), "A");
  bwc_.Enable(true);
  bwc_.Clear();
  EXPECT_FALSE(bwc_.enabled());
  EXPECT_FALSE(bwc_.Profile("A"));
  EXPECT_FALSE(bwc_.Queue(Ip("10.0.0.1")));
  bwc_.AddProfile("A", 1'000'000, 1'000'000, 0);  // the physical bandwidth stays
}

}  // namespace
}  // namespace velmora::TessaroBWControl
