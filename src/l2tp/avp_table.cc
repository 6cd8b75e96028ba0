#include "l2tp/avp_table.h"

namespace velmora::l2tp {

namespace {

constexpr uint16_t kAny = 0xFFFF;

constexpr AvpRule kRules[kKnownAvpTypes] = {
    {"Message Type", false, 2, 2},
    {"Result Code", false, 2, kAny},
    {"Protocol Version", false, 2, 2},
    {"Framing Capabilities", true, 4, 4},
    {"Bearer Capabilities", true, 4, 4},
    {"Tie Breaker", false, 8, 8},
    {"Firmware Revision", true, 2, 2},
    {"Host Name", false, 0, kAny},
    {"Vendor Name", true, 0, kAny},
    {"Assigned Tunnel ID", true, 2, 2},
    {"Receive Window Size", false, 2, 2},
    {"Challenge", true, 0, kAny},
    {"Q.931 Cause Code", false, 3, kAny},
    {"Challenge Response", true, 16, 16},
    {"Assigned Session ID", true, 2, 2},
    {"Call Serial Number", true, 4, 4},
    {"Minimum BPS", true, 4, 4},
    {"Maximum BPS", true, 4, 4},
    {"Bearer Type", true, 4, 4},
    {"Framing Type", true, 4, 4},
    {"Unknown", false, 0, kAny},
    {"Called Number", true, 0, kAny},
    {"Calling Number", true, 0, kAny},
    {"Sub-Address", true, 0, kAny},
    {"TX Connect Speed", true, 4, 4},
    {"Physical Channel ID", true, 4, 4},
    {"Intial Received Confreq", true, 0, kAny},
    {"Last Sent Confreq", true, 0, kAny},
    {"Last Received Confreq", true, 0, kAny},
    {"Proxy Authen Type", true, 2, 2},
    {"Proxy Authen Name", true, 0, kAny},
    {"Proxy Authen Challenge", true, 0, kAny},
    {"Proxy Authen ID", true, 2, 2},
    {"Proxy Authen Response", true, 0, kAny},
    {"Call Errors", true, 26, 26},
    {"ACCM", true, 10, 10},
    {"Random Vector", false, 0, kAny},
    {"Private Group ID", true, 0, kAny},
    {"RX Connect Speed", true, 4, 4},
    {"Sequencing Required", false, 0, 0},
};

}  // namespace

const AvpRule& VendorZeroRule(uint16_t type) {
  return kRules[type];
}

std::string MessageTypeName(uint16_t type) {
  switch (type) {
    case kSccrq:
      return "SCCRQ";
    case kSccrp:
      return "SCCRP";
    case kScccn:
      return "SCCCN";
    case kStopCcn:
      return "StopCCN";
    case kHello:
      return "HELLO";
    case kOcrq:
      return "OCRQ";
    case kOcrp:
      return "OCRP";
    case kOccn:
      return "OCCN";
    case kIcrq:
      return "ICRQ";
    case kIcrp:
      return "ICRP";
    case kIccn:
      return "ICCN";
    case kCdn:
      return "CDN";
    case kWen:
      return "WEN";
    case kSli:
      return "SLI";
    case kZlb:
      return "ZLB";
    default:
      return "Unknown_Message#" + std::to_string(type);
  }
}

bool CheckAvp(uint16_t vendor, uint16_t type, size_t value_length, bool mandatory,
              std::string& error) {
  if (vendor != 0) {
    if (mandatory) {
      error = "Unknown mandatory AVP (vendor " + std::to_string(vendor) + ", type " +
              std::to_string(type) + ")";
    }
    return !mandatory;
  }
  if (type >= kKnownAvpTypes) {
    if (mandatory) error = "Unknown mandatory AVP of type " + std::to_string(type);
    return !mandatory;
  }
  const AvpRule& rule = kRules[type];
  return value_length >= rule.min_length && value_length <= rule.max_length;
}

}  // namespace velmora::l2tp
