#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "tables/table_snapshot.h"

namespace velmora {

// What the ARP responder needs besides the frame: the tables whose IP/MAC rows it answers for,
// the channel type, and the addresses it must never answer for (network order).
struct ArpContext {
  const TableSnapshot& tables;
  bool dvb = true;                          // `TypeChannel` is exactly "DVB"
  uint32_t inserter = 0;                    // the inserter's address
  std::span<const uint32_t> own_addresses;  // this host's IPv4 addresses
  // When not empty, only requests from these senders are answered (the tap's source filter).
  std::span<const uint32_t> allowed_senders = {};
};

enum class ArpOutcome {
  kAnswered,      // the frame is now the reply, to be put back
  kTooShort,      // shorter than an ARP frame for IPv4 over Ethernet (42 bytes)
  kNotBroadcast,  // the Ethernet destination is not ff:ff:ff:ff:ff:ff
  kNotValid,      // the target hardware address is filled in
  kProbe,         // sender address 0.0.0.0: a duplicate-address probe
  kAnnouncement,  // sender address equals the target: a gratuitous announcement
  kNotAllowed,    // the sender is missing from a non-empty list of allowed senders
  kMulticast,     // a multicast target; ignored without a message
  kOwnAddress,    // the target is one of this host's addresses
  kInserter,      // the target is the inserter
  kNotFound,      // no IP/MAC row for the target
};

inline constexpr size_t kArpFrameSize = 42;

// The responder for the hosts behind the broadcast channel: turns a broadcast ARP request for a
// host with an IP/MAC row into the reply, in place, with the row's MAC on a DVB channel and the
// fixed MAC otherwise. A refused frame is left as it was. Pure; the ARP threads of the virtual
// adapter and of the tap call it and log what it returns.
ArpOutcome ArpReply(std::span<uint8_t> frame, const ArpContext& context);

// What ArpReply would return for `frame`, leaving it as it is.
ArpOutcome ArpVerdict(std::span<const uint8_t> frame, const ArpContext& context);

// The log line of an outcome for `frame` as it is now ("Arp. Resolved. IPsrc=..., IPdst=...\n"),
// or empty when `level` is below the outcome's (3 for an answer, 2 for a refusal) or it has none.
std::string ArpLogLine(ArpOutcome outcome, std::span<const uint8_t> frame, int level);

}  // namespace velmora
