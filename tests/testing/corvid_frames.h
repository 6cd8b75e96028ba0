#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/address_text.h"
#include "tables/mac_address.h"
#include "tables/table_snapshot.h"

// Ethernet frames as the virtual adapter carries them, built byte by byte for tests.
namespace velmora::testing {

inline void AppendAddress(std::vector<uint8_t>& out, const std::string& dotted) {
  const uint32_t address = DottedToAddress(dotted);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  out.insert(out.end(), bytes, bytes + 4);
}

// The tables behind the adapter in these tests: the subnet 10.1.0.0/16 with PID 0x0123, and
// the IP/MAC row 10.1.0.5 -> 00:11:22:33:44:55.
inline TableSnapshot SubnetWithOneRow() {
  TableSnapshot tables;
  tables.InsertSubnet({.id = 1,
                       .IPSubNetAddr = DottedToAddress("10.1.0.0"),
                       .IPSubNetMask = DottedToAddress("255.255.0.0"),
                       .IPSubNetPID = 0x0123});
  tables.InsertIpMacRow({.address = DottedToAddress("10.1.0.5"),
                         .mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                         .subnet = 1});
  return tables;
}

// SubnetWithOneRow and the groups 239.0.0.0/8 with PID 0x0456.
inline TableSnapshot SubnetRowAndGroups() {
  TableSnapshot tables = SubnetWithOneRow();
  tables.InsertSubnet({.id = 2,
                       .IPSubNetAddr = DottedToAddress("239.0.0.0"),
                       .IPSubNetMask = DottedToAddress("255.0.0.0"),
                       .IPSubNetPID = 0x0456});
  return tables;
}

// `frame` in a slot as a source reads it: room for the QoS header (0xcc bytes) in front.
inline std::vector<uint8_t> InSlot(const uint8_t* frame, size_t size) {
  std::vector<uint8_t> slot(8, 0xcc);
  slot.insert(slot.end(), frame, frame + size);
  return slot;
}

inline const MacAddress kRequesterMac = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x01};

// A broadcast ARP request from `sender` (with kRequesterMac) for `target`: 42 bytes.
inline std::vector<uint8_t> ArpRequest(const std::string& sender, const std::string& target) {
  std::vector<uint8_t> frame(6, 0xff);
  frame.insert(frame.end(), kRequesterMac.begin(), kRequesterMac.end());
  frame.insert(frame.end(), {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01});
  frame.insert(frame.end(), kRequesterMac.begin(), kRequesterMac.end());
  AppendAddress(frame, sender);
  frame.insert(frame.end(), 6, 0x00);
  AppendAddress(frame, target);
  return frame;
}

// An IPv4 UDP frame to `destination`:`port` with `flags_offset` at offset 20 and `payload_size`
// bytes after the UDP header.
inline std::vector<uint8_t> UdpFrame(const std::string& destination, uint16_t port,
                                     uint16_t flags_offset = 0, size_t payload_size = 16) {
  std::vector<uint8_t> frame = {0, 0, 0, 0, 0, 0, 0x02, 0x10, 0x20, 0x30, 0x40, 0x50, 0x08, 0x00};
  const size_t total = 20 + 8 + payload_size;
  frame.insert(
      frame.end(),
      {0x45, 0x00, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 0x12, 0x34,
       static_cast<uint8_t>(flags_offset >> 8), static_cast<uint8_t>(flags_offset), 64, 17, 0, 0});
  AppendAddress(frame, "192.168.254.1");
  AppendAddress(frame, destination);
  const size_t udp = 8 + payload_size;
  frame.insert(frame.end(),
               {0x9c, 0x40, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port),
                static_cast<uint8_t>(udp >> 8), static_cast<uint8_t>(udp), 0, 0});
  for (size_t i = 0; i < payload_size; ++i) frame.push_back(static_cast<uint8_t>(i));
  return frame;
}

}  // namespace velmora::testing
