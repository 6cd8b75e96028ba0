#include "packet/arp_answer.h"

#include <string>

#include "platform/address_text.h"
#include "platform/local_addresses.h"

namespace velmora {

std::vector<uint32_t> OwnIpv4Addresses() {
  std::vector<uint32_t> addresses;
  for (const std::string& text : LocalIpv4Addresses()) addresses.push_back(DottedToAddress(text));
  return addresses;
}

ArpOutcome AnswerArpRequest(std::span<uint8_t> frame, ArpContext context,
                            std::vector<uint32_t>& own_addresses) {
  context.own_addresses = own_addresses;
  const ArpOutcome verdict = ArpVerdict(frame, context);
  if (verdict == ArpOutcome::kAnswered || verdict == ArpOutcome::kOwnAddress) {
    if (std::vector<uint32_t> fresh = OwnIpv4Addresses(); !fresh.empty()) {
      own_addresses = std::move(fresh);
    }
    context.own_addresses = own_addresses;
  }
  return ArpReply(frame, context);
}

}  // namespace velmora
