#include "packet/packet_dump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace velmora {
namespace {

std::vector<uint8_t> UdpFrame(size_t size) {
  std::vector<uint8_t> f(size, 0);
  const uint8_t head[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e,
                          0x0f, 0x08, 0x00, 0x45, 0x10, 0x00, 0x30, 0x12, 0x34, 0x40, 0x01,
                          64,   17,   0x00, 0x00, 192,  168,  1,    2,    10,   0,    0,
                          5,    0x04, 0xd2, 0x16, 0x2e, 0x00, 0x1c, 0xab, 0xcd};
  std::copy_n(std::begin(head), std::min(size, sizeof head), f.begin());
  for (size_t i = 42; i < size; ++i) f[i] = static_cast<uint8_t>(i);
  return f;
}

TEST(PacketDumpTest, IpUdpAndMacLines) {
  const auto f = UdpFrame(60);
  EXPECT_EQ(IpDump(f),
            "IP: Ver=4, HLen=5, tos=0x10, Len=28, \n"
            "id=4660, fl= 2, FrOff=8, ttl=64, prot=0x11; \n"
            "IPsrc=192.168.1.2; IPdst=10.0.0.5\n");
  EXPECT_EQ(UdpDump(f),
            "UDP: Len=28, SrcP=1234, DstP=5678, Chk=43981, "
            "Data[10]= 2a 2b 2c 2d 2e 2f 30 31 32 33\n");
  EXPECT_EQ(MacDump(f), "    MACdst=00:11:22:33:44:55\n    MACsrc=0A:0B:0C:0D:0E:0F\n");
}

TEST(PacketDumpTest, OnlyTheBytesThatArrivedArePrinted) {
  EXPECT_EQ(UdpDump(UdpFrame(45)),
            "UDP: Len=28, SrcP=1234, DstP=5678, Chk=43981, Data[10]= 2a 2b 2c\n");
  EXPECT_EQ(UdpDump(UdpFrame(41)), "");
  EXPECT_EQ(IpDump(std::vector<uint8_t>(33)), "");
  EXPECT_EQ(MacDump(std::vector<uint8_t>(11)), "");
}

}  // namespace
}  // namespace velmora
