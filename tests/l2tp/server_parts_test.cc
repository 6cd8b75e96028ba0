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

TEST(AddressPoolTest, AKeptAddressIsInUseAndNeverAllocated) {
  AddressPool pool(DottedToAddress("10.0.0.0"), 4);
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.0");
  pool.Keep(DottedToAddress("10.0.0.1"));
  pool.Keep(DottedToAddress("10.0.0.2"));
  pool.Keep(DottedToAddress("192.168.1.1"));  // outside the pool
  EXPECT_TRUE(pool.InUse(DottedToAddress("10.0.0.1")));
  EXPECT_TRUE(pool.InUse(DottedToAddress("192.168.1.1")));
  EXPECT_FALSE(pool.InUse(DottedToAddress("10.0.0.3")));
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.3");  // past both kept ones
  EXPECT_EQ(pool.Allocate(), 0u);
  EXPECT_EQ(pool.in_use(), 2u);  // allocated ones
  pool.Unkeep(DottedToAddress("10.0.0.2"));
  EXPECT_FALSE(pool.InUse(DottedToAddress("10.0.0.2")));
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.2");
  pool.Release(DottedToAddress("10.0.0.1"));  // kept, not allocated: still in use
  EXPECT_TRUE(pool.InUse(DottedToAddress("10.0.0.1")));
}

TEST(AddressPoolTest, EachCallSeesTheAddressesOfTheOthersNotItsOwn) {
  AddressPool pool(DottedToAddress("10.0.0.0"), 8);
  const uint32_t first = pool.Allocate(), second = pool.Allocate();
  const uint32_t free_one = DottedToAddress("10.0.0.2"), own = DottedToAddress("192.168.1.1");
  CallAddresses b(pool, second);
  {
    CallAddresses a(pool, first);
    EXPECT_FALSE(a.OfAnotherCall(free_one));  // a free pool address may be kept
    a.Keep(free_one);
    EXPECT_TRUE(b.OfAnotherCall(free_one));
    EXPECT_FALSE(a.OfAnotherCall(free_one));
    EXPECT_TRUE(b.OfAnotherCall(first));
    EXPECT_FALSE(a.OfAnotherCall(first));
    EXPECT_EQ(AddressToDotted(pool.Allocate()), "10.0.0.3");  // never the kept one
    a.Keep(own);  // another address of his own: the first goes back
    EXPECT_FALSE(b.OfAnotherCall(free_one));
    EXPECT_TRUE(b.OfAnotherCall(own));
    a.Keep(first);  // his pool address: nothing of his own is kept
    EXPECT_EQ(a.kept(), 0u);
    EXPECT_FALSE(pool.InUse(own));
    a.Keep(own);
  }  // the call went: what its user kept is free
  EXPECT_FALSE(pool.InUse(own));
  EXPECT_FALSE(b.OfAnotherCall(own));
}

TEST(AddressPoolTest, APoolNeverWrapsPastTheLastAddress) {
  AddressPool pool(DottedToAddress("255.255.255.254"), 10);
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "255.255.255.254");
  EXPECT_EQ(AddressToDotted(pool.Allocate()), "255.255.255.255");
  EXPECT_EQ(pool.Allocate(), 0u);
}

}  // namespace
}  // namespace velmora::l2tp
