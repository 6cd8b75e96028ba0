#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packet/arp_reply.h"

namespace velmora {

// This host's IPv4 addresses (network order), loopback left out.
std::vector<uint32_t> OwnIpv4Addresses();

// ArpReply for an ARP thread that keeps this host's addresses in `own_addresses`: they change (a
// renewed lease, an alias), so they are read again whenever they decide the verdict, which is
// rare, and a failed read keeps the last ones. `context.own_addresses` is set from them. Called
// by the ARP thread that owns `own_addresses`.
ArpOutcome AnswerArpRequest(std::span<uint8_t> frame, ArpContext context,
                            std::vector<uint32_t>& own_addresses);

}  // namespace velmora
