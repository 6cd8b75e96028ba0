#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ini/stdini.h"
#include "tables/mac_address.h"

namespace velmora {

// Where a link's stream comes from and where the bouncer repeats it. Addresses in network order.
struct BouncerLink {
  int32_t number = 0;
  uint32_t receive_bind_ip = 0;  // any address unless receive_bind_ip is given
  uint16_t receive_port = 0;
  std::optional<uint32_t> receive_multicast_ip;
  uint32_t destination_ip = 0;
  uint16_t destination_port = 0;
  // With QoS headers each payload goes to send_ip:send_port as an inserter datagram.
  bool add_qos_headers = false;
  MacAddress destination_mac{};
  uint16_t stream_pid = 0;
  uint32_t send_ip = 0;
  uint16_t send_port = 0;
};

// The links of a bouncer.ini that the bouncer serves, and one line for each active link it
// cannot serve (which link, which key and why).
struct BouncerLinks {
  std::vector<BouncerLink> links;
  std::vector<std::string> problems;
};

// Reads the links listed in [main] links whose active value is exactly "true".
BouncerLinks ReadBouncerLinks(const stdini& ini);

}  // namespace velmora
