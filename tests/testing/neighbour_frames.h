#pragma once

#include <string_view>

namespace velmora::testing {

// Made by another tool: a solicitation from fd00::2 (link address 02:00:00:00:00:22 in its
// option) for fd00::99, to its solicited-node group, and the advertisement that answers it for
// 02:00:00:00:02:99.
inline constexpr std::string_view kSolicitation =
    "3333ff00009902000000000286dd6000000000203afffd000000000000000000000000000002ff020000000000"
    "0000000001ff00009987007c4700000000fd0000000000000000000000000000990101020000000022";
inline constexpr std::string_view kAdvertisement =
    "02000000002202000000029986dd6000000000203afffd000000000000000000000000000099fd000000000000"
    "000000000000000002880018d460000000fd0000000000000000000000000000990201020000000299";

}  // namespace velmora::testing
