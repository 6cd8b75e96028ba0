#pragma once

// The transparent port's load as the throughput benchmarks offer it: datagrams for a host of the
// one benchmark subnet, and the router's velmora.ini around it.

#include <arpa/inet.h>

#include <cstdint>
#include <string>

#include "throughput_trial.h"
#include "traffic/udp_frame.h"

namespace velmora::bench {

// A transparent-port datagram of `size` bytes from 192.0.2.1 to `destination` (network order),
// PID 1 with the zero MAC: the router resolves it from its tables.
inline Bytes TransparentDatagram(size_t size, uint32_t destination = htonl(0x0a000005)) {
  const Bytes payload(size - 8 - 42, 0x5a);
  return TransparentUdpDatagram(htonl(0xc0000201), destination, 9, 1, payload);
}

// A router that resolves 10.0.0.0/8 to PID 291 (10.0.0.5 to a MAC of its own), with the
// transparent port and the inserter on loopback and no bandwidth management; `general` adds to
// [GENERAL].
inline std::string TransparentRouterIni(uint16_t transparent_port, uint16_t inserter_port,
                                        const std::string& general = "RemoteControlOn=0\n") {
  return "[GENERAL]\n" + general +
         "PylonEnable=0\nBouncerEnable=0\nLogOn=0\nLogLevel=1\nEnableBandwidth=0\n"
         "InserterIP=127.0.0.1\nInserterPort=" +
         std::to_string(inserter_port) + "\nTransparentEnable=1\nL2tpEnable=0\nTransparentPort=" +
         std::to_string(transparent_port) +
         "\n[NETWORKS]\nAlias=\"Bench\", IPSubNetAddr=10.0.0.0, IPSubNetMask=255.0.0.0, "
         "IPSubNetMAC=\"SubNet_001\", IPSubNetPID=291\n[SubNet_001]\n10.0.0.5 00-11-22-33-44-55\n";
}

}  // namespace velmora::bench
