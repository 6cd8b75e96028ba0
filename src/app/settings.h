#pragma once

#include <cstdint>
#include <string>

#include "platform/address_text.h"
#include "support/shared_value.h"

namespace velmora {

// A window's placement as stored in velmora.ini: flags, show state, minimised and maximised
// positions, normal rectangle.
struct WindowPlacement {
  uint32_t flags = 0;
  uint32_t show = 1;
  int32_t min_x = -1, min_y = -1, max_x = -1, max_y = -1;
  int32_t left = 5, top = 5, right = 630, bottom = 470;
  bool operator==(const WindowPlacement&) const = default;
};

inline constexpr WindowPlacement kDefaultWinPosition{};
inline constexpr WindowPlacement kDefaultWinPositionQoS{0, 1, -1, -1, -1, -1, 1, 1, 640, 480};

// The name the router always uses for its virtual adapter, whatever the file says.
inline constexpr const char* kCorvidName = "Tessaro Corvid Emulation Driver.";

// The typed settings: one field per [GENERAL] key, named by the key. One instance per process;
// the control thread and remote sessions replace fields while source threads read them, so each
// field is replaced as a whole. Addresses are IPv4 in network byte order.
struct Settings {
  SharedText LogFileName{"velmora.log"};
  SharedNumber<int32_t> LogFileSize{100};
  SharedNumber<int32_t> LogOn{0};
  SharedNumber<int32_t> LogLevel{1};
  SharedNumber<int32_t> LoadOnStartup{0};
  // The service's running flag: 1 while it runs, kept in the file so that a restarted router runs
  // its service again.
  SharedNumber<int32_t> StartListening{1};
  SharedNumber<int32_t> TrafficControl{0};
  SharedNumber<int32_t> RemoteControlOn{1};
  SharedNumber<uint16_t> RemoteControlPort{6101};
  SharedNumber<int32_t> CorvidEnable{0};
  SharedNumber<int32_t> PylonEnable{1};
  SharedNumber<int32_t> TransparentEnable{1};
  SharedNumber<int32_t> BouncerEnable{1};
  SharedNumber<int32_t> L2tpEnable{1};
  SharedNumber<int32_t> CorvidDefaultRoute{0};
  SharedNumber<int32_t> BufTime{3000};
  SharedNumber<uint32_t> InserterIP{0x0100007f};
  SharedNumber<uint16_t> InserterPort{8000};
  SharedNumber<bool> EnableBandwidth{true};
  SharedNumber<uint16_t> TransparentPort{6100};
  SharedNumber<int32_t> StatisticEnable{1};
  SharedText StatisticFile{"stat<date>.log"};
  SharedText TypeChannel{"DVB"};
  SharedNumber<int32_t> MaxPayloadCut{15000000};
  SharedText DefaultUP;
  SharedText MCastNIC;
  SharedNumber<int32_t> L2tpPort{1701};
  SharedNumber<uint32_t> L2tpPoolIP{0x0064a8c0};
  SharedNumber<int32_t> L2tpPool{100};
  SharedNumber<int32_t> Ipv6Adapter{0};
  // Optional, written only when set: the address the remote-control listener binds (empty: every
  // interface) and the clients it admits (empty: all).
  SharedText RemoteControlBind;
  SharedText RemoteControlAllow;
  // Optional, written only when set: the TCP port of the metrics endpoint (0: none), bound to
  // RemoteControlBind or 127.0.0.1.
  SharedNumber<uint16_t> MetricsPort{0};

  WindowPlacement WinPosition = kDefaultWinPosition;
  WindowPlacement WinPositionQoS = kDefaultWinPositionQoS;
};

// The traffic limit that `MaxPayloadCut` gives: bytes per 2000 ms.
int64_t TrafficLimitBytes(int32_t max_payload_cut);

}  // namespace velmora
