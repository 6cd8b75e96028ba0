#include "platform/pylon_filters.h"

#include <string_view>

#include "platform/address_text.h"

namespace velmora {
namespace {

// " and not <qualifier> A and not <qualifier> B" for the set slots.
std::string Excluding(std::span<const uint32_t> slots, std::string_view qualifier) {
  std::string clauses;
  for (uint32_t address : slots) {
    if (address != 0)
      clauses += " and not " + std::string(qualifier) + " " + AddressToDotted(address);
  }
  return clauses;
}

// " and (<qualifier> A or <qualifier> B)" for the set slots; empty when none is set.
std::string OnlyFrom(std::span<const uint32_t> slots, std::string_view qualifier) {
  std::string choices;
  for (uint32_t address : slots) {
    if (address == 0) continue;
    choices +=
        (choices.empty() ? "" : " or ") + std::string(qualifier) + " " + AddressToDotted(address);
  }
  return choices.empty() ? choices : " and (" + choices + ")";
}

}  // namespace

PylonCaptureFilters BuildPylonCaptureFilters(std::span<const uint32_t> local,
                                             std::span<const uint32_t> sources) {
  return {.ipv4 = "inbound and ip and greater 38" + Excluding(local, "dst host") +
                  OnlyFrom(sources, "src host"),
          .arp = "inbound and arp and greater 42" + Excluding(local, "arp dst host") +
                 OnlyFrom(sources, "arp src host"),
          .ipv6 = "inbound and ip6 and greater 54"};
}

}  // namespace velmora
