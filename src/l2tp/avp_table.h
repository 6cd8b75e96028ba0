#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::l2tp {

// Control message types (the value of the Message Type AVP); a ZLB acknowledgement has no AVP.
enum MessageType : uint16_t {
  kSccrq = 1,
  kSccrp = 2,
  kScccn = 3,
  kStopCcn = 4,
  kHello = 6,
  kOcrq = 7,
  kOcrp = 8,
  kOccn = 9,
  kIcrq = 10,
  kIcrp = 11,
  kIccn = 12,
  kCdn = 14,
  kWen = 15,
  kSli = 16,
  kZlb = 32767,
};

// Attribute types of vendor 0 that the server reads or writes.
enum AvpType : uint16_t {
  kAvpMessageType = 0,
  kAvpResultCode = 1,
  kAvpProtocolVersion = 2,
  kAvpFramingCapabilities = 3,
  kAvpBearerCapabilities = 4,
  kAvpTieBreaker = 5,
  kAvpFirmwareRevision = 6,
  kAvpHostName = 7,
  kAvpVendorName = 8,
  kAvpAssignedTunnelId = 9,
  kAvpReceiveWindowSize = 10,
  kAvpChallenge = 11,
  kAvpChallengeResponse = 13,
  kAvpAssignedSessionId = 14,
  kAvpCallSerialNumber = 15,
  kAvpFramingType = 19,
  kAvpTxConnectSpeed = 24,
  kAvpAccm = 35,
  kAvpRandomVector = 36,
  kAvpRxConnectSpeed = 38,
  kAvpSequencingRequired = 39,
};

// What RFC 2661 allows for one attribute type of vendor 0: its name in messages, whether it may
// be hidden, and the bounds of its value length (the AVP length less its 6-byte header).
struct AvpRule {
  std::string_view name;
  bool may_hide;
  uint16_t min_length;
  uint16_t max_length;
};

inline constexpr uint16_t kKnownAvpTypes = 40;

// The rule of a vendor-0 type below 40.
const AvpRule& VendorZeroRule(uint16_t type);

// "SCCRQ", ..., "ZLB", or "Unknown_Message#<n>".
std::string MessageTypeName(uint16_t type);

// Whether a received AVP may be taken: an unknown one only when it is not mandatory, a known one
// only with a value length its rule allows. Sets `error` where the refusal has a message.
bool CheckAvp(uint16_t vendor, uint16_t type, size_t value_length, bool mandatory,
              std::string& error);

}  // namespace velmora::l2tp
