#include "l2tp/datagram.h"

#include <cstring>

#include "l2tp/avp_table.h"
#include "l2tp/hidden_avp.h"

namespace velmora::l2tp {

namespace {

constexpr size_t kAvpHeader = 6;
constexpr uint8_t kAvpMandatory = 0x80;
constexpr uint8_t kAvpHidden = 0x40;
constexpr uint8_t kAvpReserved = 0x3C;

uint16_t Word(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void PutWord(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

size_t HeaderSize(uint8_t flags) {
  return 6 + (flags & kFlagL ? 2 : 0) + (flags & kFlagS ? 4 : 0) + (flags & kFlagO ? 2 : 0);
}

}  // namespace

std::unique_ptr<CDatagram> CDatagram::NewControl(uint16_t type, uint16_t tunnel_id,
                                                 uint16_t session_id) {
  auto datagram = std::make_unique<CDatagram>();
  datagram->message_type = type;
  datagram->tunnel_id = tunnel_id;
  datagram->session_id = session_id;
  std::string ignored;  // an empty message always has room for its first AVP
  if (type != kZlb) datagram->AddU16(kAvpMessageType, type, ignored);
  return datagram;
}

std::unique_ptr<CDatagram> CDatagram::ParseControl(std::span<const uint8_t> received,
                                                   std::string& error) {
  if (received.size() < 2 || received.size() < HeaderSize(received[0])) {
    error = "Invalid length of datagram " + std::to_string(received.size());
    return nullptr;
  }
  auto datagram = std::make_unique<CDatagram>();
  CDatagram& d = *datagram;
  d.flags = received[0];
  d.version = received[1];
  size_t at = 2;
  d.length = static_cast<uint16_t>(std::min<size_t>(received.size(), 0xFFFF));
  if (d.flags & kFlagL) {
    d.length = Word(received, at);
    at += 2;
    if (d.length > received.size()) {
      error = "Invalid length field " + std::to_string(d.length) +
              " greater than received datagram size " + std::to_string(received.size());
      return nullptr;
    }
  }
  d.tunnel_id = Word(received, at);
  d.session_id = Word(received, at + 2);
  at += 4;
  if (d.flags & kFlagS) {
    d.ns = Word(received, at);
    d.nr = Word(received, at + 2);
    at += 4;
  }
  if (d.flags & kFlagO) {
    d.offset_size = Word(received, at);
    at += 2;
  }
  if (at > d.length || d.length - at > kCapacity) {
    error = "Invalid length of datagram " + std::to_string(d.length);
    return nullptr;
  }
  d.payload_.assign(received.begin() + static_cast<long>(at),
                    received.begin() + static_cast<long>(d.length));
  if (d.flags & kFlagO) {
    error = "Invalid control frame: O bit is set";
    return nullptr;
  }
  if (d.payload_.empty()) {
    d.message_type = kZlb;
    return datagram;
  }
  const std::optional<Avp> first = d.NextAvp(nullptr, error);
  if (!first) return nullptr;
  if (first->vendor != 0 || first->type != kAvpMessageType) {
    error = "Invalid control message: First AVP must be message type";
    return nullptr;
  }
  if (first->value.size() != 2) {
    error = "Invalid length " + std::to_string(first->value.size() + kAvpHeader) +
            " for message-type AVP";
    return nullptr;
  }
  if (!first->mandatory) {
    error = "Invalid control message: M bit not set on message-type AVP";
    return nullptr;
  }
  d.message_type = first->Word();
  return datagram;
}

bool CDatagram::AddAvp(bool mandatory, uint16_t vendor, uint16_t type,
                       std::span<const uint8_t> value, std::string& error) {
  if (value.size() > kMaxAvpValue) {
    error = "AVP length of " + std::to_string(value.size()) + " too long";
    return false;
  }
  const size_t length = value.size() + kAvpHeader;
  if (payload_.size() + length > kCapacity) {
    error = "No room for AVP of length " + std::to_string(length);
    return false;
  }
  const size_t start = payload_.size();
  payload_.reserve(start + length);  // exactly: queued messages hold no spare room
  payload_.resize(start + length);
  uint8_t* out = payload_.data() + start;
  out[0] = static_cast<uint8_t>((mandatory ? kAvpMandatory : 0) | (length >> 8 & 0x03));
  out[1] = static_cast<uint8_t>(length);
  out[2] = static_cast<uint8_t>(vendor >> 8);
  out[3] = static_cast<uint8_t>(vendor);
  out[4] = static_cast<uint8_t>(type >> 8);
  out[5] = static_cast<uint8_t>(type);
  if (!value.empty()) std::memcpy(out + kAvpHeader, value.data(), value.size());
  position_ = payload_.size();
  return true;
}

bool CDatagram::AddU16(uint16_t type, uint16_t value, std::string& error) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return AddAvp(true, 0, type, bytes, error);
}

bool CDatagram::AddU32(uint16_t type, uint32_t value, std::string& error) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return AddAvp(true, 0, type, bytes, error);
}

bool CDatagram::AddText(uint16_t type, std::string_view text, std::string& error) {
  return AddAvp(true, 0, type, {reinterpret_cast<const uint8_t*>(text.data()), text.size()}, error);
}

bool CDatagram::AddResultCode(uint16_t result, uint16_t error_code, std::string_view text,
                              std::string& error) {
  constexpr size_t kMaxText = 251;
  std::vector<uint8_t> value = {static_cast<uint8_t>(result >> 8), static_cast<uint8_t>(result),
                                static_cast<uint8_t>(error_code >> 8),
                                static_cast<uint8_t>(error_code)};
  const std::string_view kept = text.substr(0, kMaxText);
  value.insert(value.end(), kept.begin(), kept.end());
  return AddAvp(true, 0, kAvpResultCode, value, error);
}

std::optional<Avp> CDatagram::NextAvp(const HiddenAvpKey* key, std::string& error) {
  error.clear();
  const std::span<const uint8_t> rest = payload().subspan(std::min(position_, payload_.size()));
  if (rest.empty()) return std::nullopt;
  if (rest[0] & kAvpReserved) {
    error = "AVP with reserved bits set to non-zero";
    return std::nullopt;
  }
  const size_t length = rest.size() < 2 ? rest.size() : size_t{rest[0] & 0x03u} << 8 | rest[1];
  if (length < kAvpHeader) {
    error = "Received AVP of length " + std::to_string(length) + " (too short)";
    return std::nullopt;
  }
  if (length > rest.size()) {
    error = "Received AVP of length " + std::to_string(length) + " too long for rest of datagram";
    return std::nullopt;
  }
  Avp avp{.mandatory = (rest[0] & kAvpMandatory) != 0,
          .hidden = (rest[0] & kAvpHidden) != 0,
          .vendor = Word(rest, 2),
          .type = Word(rest, 4),
          .value = rest.subspan(kAvpHeader, length - kAvpHeader)};
  if (avp.vendor == 0 && avp.type == kAvpRandomVector) {
    if (avp.hidden) {
      error = "Invalid random vector AVP has H bit set";
      return std::nullopt;
    }
    random_vector_ = position_ + 1;
  }
  position_ += length;
  if (!avp.hidden) return avp;
  return Unhide(avp, key, error);
}

std::optional<Avp> CDatagram::Unhide(const Avp& avp, const HiddenAvpKey* key, std::string& error) {
  const size_t length = avp.value.size() + kAvpHeader;
  if (key == nullptr) {
    error = "AVP cannot be hidden";
  } else if (length < 8) {
    error = "Received hidden AVP of length " + std::to_string(length) + " (too short)";
  } else if (!key->has_peer) {
    error = "No peer??";
  } else if (key->secret.empty()) {
    error = "No shared secret to unhide AVP";
  } else if (random_vector_ == 0) {
    error = "Cannot unhide AVP unless Random Vector received first";
  } else if (avp.vendor == 0 && avp.type < kKnownAvpTypes && !VendorZeroRule(avp.type).may_hide) {
    error = "AVP of type " + std::string(VendorZeroRule(avp.type).name) +
            " cannot be hidden, but H bit set";
  }
  if (!error.empty()) return std::nullopt;
  const std::span<const uint8_t> vector_avp = payload().subspan(random_vector_ - 1);
  const size_t vector_length = (size_t{vector_avp[0] & 0x03u} << 8 | vector_avp[1]) - kAvpHeader;
  std::optional<std::vector<uint8_t>> value = UnhideAvpValue(
      avp.type, key->secret, vector_avp.subspan(kAvpHeader, vector_length), avp.value, error);
  if (!value) return std::nullopt;
  unhidden_ = std::move(*value);
  Avp unhidden = avp;
  unhidden.value = unhidden_;
  return unhidden;
}

std::optional<Avp> CDatagram::FindAvp(const HiddenAvpKey* key, uint16_t vendor, uint16_t type,
                                      std::string& error) {
  const size_t position = position_, random_vector = random_vector_;
  std::optional<Avp> avp;
  while ((avp = NextAvp(key, error))) {
    if (avp->vendor == vendor && avp->type == type) break;
  }
  if (!avp && error.empty()) {
    error = "AVP of vendor/type (" + std::to_string(vendor) + ", " + std::to_string(type) +
            ") not found";
  }
  position_ = position;
  random_vector_ = random_vector;
  return avp;
}

std::vector<uint8_t> CDatagram::WireBytes() const {
  std::vector<uint8_t> out;
  out.reserve(HeaderSize(flags) + payload_.size());
  out.push_back(flags);
  out.push_back(version);
  if (flags & kFlagL) PutWord(out, 0);  // filled in below
  PutWord(out, tunnel_id);
  PutWord(out, session_id);
  if (flags & kFlagS) {
    PutWord(out, ns);
    PutWord(out, nr);
  }
  if (flags & kFlagO) PutWord(out, offset_size);
  out.insert(out.end(), payload_.begin(), payload_.end());
  if (flags & kFlagL) {
    out[2] = static_cast<uint8_t>(out.size() >> 8);
    out[3] = static_cast<uint8_t>(out.size());
  }
  return out;
}

std::optional<DataMessage> ParseDataMessage(std::span<const uint8_t> received) {
  if (received.size() < 2 || received.size() < HeaderSize(received[0] & ~kFlagO)) {
    return std::nullopt;
  }
  const uint8_t flags = received[0];
  size_t at = 2;
  size_t end = received.size();
  if (flags & kFlagL) {
    end = Word(received, at);
    at += 2;
  }
  DataMessage message{.tunnel_id = Word(received, at), .session_id = Word(received, at + 2)};
  at += 4;
  if (flags & kFlagS) at += 4;
  if (flags & kFlagO) {
    if (at + 2 > received.size()) return std::nullopt;
    at += 2 + Word(received, at);
  }
  if (at > end || end > received.size()) return std::nullopt;
  if (end - at >= 2 && received[at] == 0xFF && received[at + 1] == 0x03) at += 2;
  message.frame_offset = at;
  message.frame_length = end - at;
  return message;
}

}  // namespace velmora::l2tp
