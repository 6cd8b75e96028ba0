#include "tables/stored_text.h"

#include <gtest/gtest.h>

#include "tables/mac_address.h"

namespace velmora {
namespace {

TEST(MacAddressTest, PartsAreHexadecimalNumbersBetweenSeparators) {
  EXPECT_EQ(ParseMac("00:0a:1B:2c:3D:4e"), (MacAddress{0, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e}));
  EXPECT_EQ(ParseMac("0-1-2-3-4-5"), (MacAddress{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(ParseMac("100-1-2-3-4-5"), (MacAddress{0, 1, 2, 3, 4, 5}));  // the low byte
  for (const char* bad : {"00-0A-1B-2C-3D", "00-0A-1B-2C-3D-XY", "00-0A-1B-2C-3D-4E-5F",
                          "00--0A-1B-2C-3D", "00-0A-1B-2C-3D-", "", " 0-1-2-3-4-5"}) {
    EXPECT_FALSE(ParseMac(bad)) << bad;
  }
  EXPECT_EQ(MacText({0, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e}), "00-0A-1B-2C-3D-4E");
  EXPECT_EQ(NextMac({0, 0, 0, 0, 0, 0xff}), (MacAddress{0, 0, 0, 0, 1, 0}));
}

TEST(StoredTextTest, AliasesThatWouldNotReadBackAreRefusedOrRepaired) {
  EXPECT_TRUE(IsStorableSubnetAlias("Office 2 (north)"));
  EXPECT_TRUE(IsStorableSubnetAlias(""));
  for (const char* bad :
       {"a=b", "a,b", "a;b", "a\"b", " lead", "trail\t", "xIPSubNetPIDx", "IP SubNet Addr"}) {
    EXPECT_FALSE(IsStorableSubnetAlias(bad)) << bad;
  }
  EXPECT_FALSE(IsStorableSubnetAlias(std::string(129, 'a')));
  EXPECT_EQ(StorableSubnetAlias("a=b;c"), "abc");
  EXPECT_EQ(StorableSubnetAlias("IPSubNetMAC"), "");
  EXPECT_EQ(StorableSubnetAlias(std::string(200, 'a')).size(), 128u);
  EXPECT_EQ(StorableRowAlias("\"Gold[1]"), "Gold1]");
  EXPECT_TRUE(IsStorableProfileAlias("Gold-1.5"));
  EXPECT_FALSE(IsStorableProfileAlias(""));
  EXPECT_FALSE(IsStorableProfileAlias("a=b"));
  EXPECT_TRUE(IsStorableUser("alice", "p=w;d\"x"));
  EXPECT_FALSE(IsStorableUser("", "x"));
  EXPECT_FALSE(IsStorableUser("[alice", "x"));
  EXPECT_FALSE(IsStorableUser(" ;alice", "x"));
  EXPECT_FALSE(IsStorableUser("alice", "line\nfeed"));
  EXPECT_FALSE(IsStorableUser("alice", "carriage\rreturn"));
  EXPECT_FALSE(IsStorableUser("alice", std::string("nul\0x", 5)));
  EXPECT_FALSE(IsStorableUser(std::string("al\0ice", 6), "x"));
  EXPECT_FALSE(IsStorableUser("al\rice", "x"));
  EXPECT_FALSE(IsStorableUser("a=b", "x"));
  EXPECT_FALSE(IsStorableUser(";alice", "x"));
  EXPECT_FALSE(IsStorableUser("alice", std::string(506, 'x')));
}

TEST(StoredTextTest, RowAddressesAndRowFileNames) {
  EXPECT_EQ(RowAddress("192.168.1.5"), DottedToAddress("192.168.1.5"));
  for (const char* bad : {"192.168.1", "192.168.1.5.6", " 192.168.1.5", "192.168.1.5x[", "",
                          "255.255.255.255", "1.2.3.4/24"}) {
    EXPECT_FALSE(RowAddress(bad)) << bad;
  }
  const std::vector<std::string> own = {"velmora.ini", "velmora.log"};
  EXPECT_TRUE(IsRowFileName("SubNet_001", own));
  for (const char* bad :
       {"", "../etc/passwd", "/etc/passwd", ".hidden", "velmora.ini", "velmora.log"}) {
    EXPECT_FALSE(IsRowFileName(bad, own)) << bad;
  }
}

}  // namespace
}  // namespace velmora
