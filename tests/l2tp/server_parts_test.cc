#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "l2tp/address_pool.h"
#include "platform/address_text.h"

namespace velmora::l2tp {
namespace {

using std::chrono::milliseconds;

TEST(AddressPoolTest, LowestFreeAddressFirst) {
  AddressPool pool(DottedToAddress("10.0.0.0"), 3);
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.0");
  const uint32_t second = pool.Allocate();
  EXPECT_EQ(AddressToDotted(second), "10.0.0.1");
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.2");
  EXPECT_EQ(pool.Allocate(), 0u);
  pool.Release(second);
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.1");
  pool.Release(DottedToAddress("10.9.9.9"));  // not from the pool: nothing
  EXPECT_EQ(pool.in_use(), 3u);
}

TEST(AddressPoolTest, APoolNeverWrapsPastTheLastAddress) {
  AddressPool pool(DottedToAddress("255.255.255.254"), 10);
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "255.255.255.254");
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "255.255.255.255");
  EXPECT_EQ(pool.Allocate(), 0u);
}

}  // namespace
}  // namespace velmora::l2tp
