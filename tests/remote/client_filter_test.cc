#include "remote/client_filter.h"

#include <gtest/gtest.h>

#include "platform/address_text.h"

namespace velmora {
namespace {

TEST(ClientFilterTest, AddressesAndSubnets) {
  const ClientFilter filter(" 10.1.2.3 , 192.168.0.0/16,172.16.5.9/24");
  EXPECT_TRUE(filter.Allows(DottedToAddress("10.1.2.3")));
  EXPECT_FALSE(filter.Allows(DottedToAddress("10.1.2.4")));
  EXPECT_TRUE(filter.Allows(DottedToAddress("192.168.77.1")));
  EXPECT_TRUE(filter.Allows(DottedToAddress("172.16.5.200")));
  EXPECT_FALSE(filter.Allows(DottedToAddress("172.16.6.1")));
}

TEST(ClientFilterTest, EmptyAllowsAllAndMalformedAllowsNone) {
  EXPECT_TRUE(ClientFilter("").Allows(DottedToAddress("1.2.3.4")));
  EXPECT_TRUE(ClientFilter(" ").Allows(DottedToAddress("1.2.3.4")));
  std::vector<std::string> rejected;
  const ClientFilter bad("1.2.3, 1.2.3.4/33, 1.2.3.4/x, any", &rejected);
  EXPECT_FALSE(bad.Allows(DottedToAddress("1.2.3.4")));
  EXPECT_EQ(rejected, (std::vector<std::string>{"1.2.3", "1.2.3.4/33", "1.2.3.4/x", "any"}));
  EXPECT_TRUE(ClientFilter("0.0.0.0/0").Allows(DottedToAddress("8.8.8.8")));
}

}  // namespace
}  // namespace velmora
