// Any bytes as a received L2TP datagram: the control path (header checks, every AVP walked with
// and without a tunnel secret, searched, and the message rebuilt and parsed again) and the data
// path never read past the received bytes and never take a frame outside them.

#include <cstdint>
#include <span>
#include <string>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"

using velmora::l2tp::CDatagram;

namespace {

void WalkAvps(CDatagram& message, const velmora::l2tp::HiddenAvpKey* key) {
  std::string error;
  message.FindAvp(key, 0, velmora::l2tp::kAvpAssignedTunnelId, error);
  while (const auto avp = message.NextAvp(key, error)) {
    velmora::l2tp::CheckAvp(avp->vendor, avp->type, avp->value.size(), avp->mandatory, error);
    if (avp->value.size() > CDatagram::kCapacity) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> received(data, size);
  if (const auto message = velmora::l2tp::ParseDataMessage(received)) {
    if (message->frame_offset + message->frame_length > size) __builtin_trap();
  }
  std::string error;
  std::unique_ptr<CDatagram> message = CDatagram::ParseControl(received, error);
  if (!message) return 0;
  velmora::l2tp::MessageTypeName(message->message_type);
  static const uint8_t kSecret[] = {'s', 'e', 'c', 'r', 'e', 't'};
  const velmora::l2tp::HiddenAvpKey key{.has_peer = true, .secret = kSecret};
  const std::unique_ptr<CDatagram> copy = CDatagram::ParseControl(message->WireBytes(), error);
  if (!copy || copy->payload().size() != message->payload().size()) __builtin_trap();
  WalkAvps(*message, nullptr);
  WalkAvps(*copy, &key);
  return 0;
}
