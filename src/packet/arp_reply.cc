#include "packet/arp_reply.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "packet/inserter_datagram.h"

namespace velmora {

namespace {

// Offsets in an Ethernet frame that carries an ARP packet for IPv4.
namespace arp {
constexpr size_t kEthernetSource = 6;
constexpr size_t kOperation = 20;
constexpr size_t kSenderMac = 22;
constexpr size_t kSenderIp = 28;
constexpr size_t kTargetMac = 32;
constexpr size_t kTargetIp = 38;
}  // namespace arp

uint32_t AddressAt(std::span<const uint8_t> frame, size_t at) {
  uint32_t address;
  std::memcpy(&address, frame.data() + at, sizeof address);
  return address;
}

bool AllBytesAre(std::span<const uint8_t> bytes, uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](uint8_t b) { return b == value; });
}

// Why a frame is refused before the tables are asked; none when it is a request to look up.
std::optional<ArpOutcome> Refusal(std::span<const uint8_t> frame, const ArpContext& context) {
  if (frame.size() < kArpFrameSize) return ArpOutcome::kTooShort;
  if (!AllBytesAre(frame.first(6), 0xff)) return ArpOutcome::kNotBroadcast;
  if (!AllBytesAre(frame.subspan(arp::kTargetMac, 6), 0)) return ArpOutcome::kNotValid;
  if (IsMulticastIpv4(frame.data() + arp::kTargetIp)) return ArpOutcome::kMulticast;
  const uint32_t sender = AddressAt(frame, arp::kSenderIp);
  const uint32_t target = AddressAt(frame, arp::kTargetIp);
  if (sender == 0) return ArpOutcome::kProbe;
  if (sender == target) return ArpOutcome::kAnnouncement;
  const auto& allowed = context.allowed_senders;
  if (!allowed.empty() && std::find(allowed.begin(), allowed.end(), sender) == allowed.end()) {
    return ArpOutcome::kNotAllowed;
  }
  const auto& own = context.own_addresses;
  if (std::find(own.begin(), own.end(), target) != own.end()) return ArpOutcome::kOwnAddress;
  if (target == context.inserter) return ArpOutcome::kInserter;
  return std::nullopt;
}

// The outcome for `frame`, and for a request to answer the row that answers it.
ArpOutcome Judge(std::span<const uint8_t> frame, const ArpContext& context,
                 const IpMacEntry*& row) {
  if (const auto refused = Refusal(frame, context)) return *refused;
  row = context.tables.FindIpMacRow(AddressAt(frame, arp::kTargetIp));
  return row == nullptr ? ArpOutcome::kNotFound : ArpOutcome::kAnswered;
}

void BuildReply(std::span<uint8_t> frame, const MacAddress& mac) {
  if (frame[arp::kOperation] == 0 && frame[arp::kOperation + 1] == 1)
    frame[arp::kOperation + 1] = 2;
  std::copy_n(frame.begin() + arp::kEthernetSource, 6, frame.begin());
  std::copy(mac.begin(), mac.end(), frame.begin() + arp::kEthernetSource);
  uint8_t sender_ip[4];
  std::copy_n(frame.begin() + arp::kSenderIp, 4, sender_ip);
  std::copy_n(frame.begin() + arp::kTargetIp, 4, frame.begin() + arp::kSenderIp);
  std::copy_n(sender_ip, 4, frame.begin() + arp::kTargetIp);
  std::copy_n(frame.begin() + arp::kSenderMac, 6, frame.begin() + arp::kTargetMac);
  std::copy(mac.begin(), mac.end(), frame.begin() + arp::kSenderMac);
}

const char* TextOf(ArpOutcome outcome) {
  switch (outcome) {
    case ArpOutcome::kAnswered:
      return "Arp. Resolved.";
    case ArpOutcome::kNotBroadcast:
      return "Arp. Broadcast.";
    case ArpOutcome::kNotValid:
      return "Arp. Not valid.";
    case ArpOutcome::kProbe:
      return "Arp. Probe from 0.0.0.0.";
    case ArpOutcome::kAnnouncement:
      return "Arp. Announcement.";
    case ArpOutcome::kNotAllowed:
      return "Arp. Sender not in the source filter.";
    case ArpOutcome::kOwnAddress:
      return "Arp. Own address of this host.";
    case ArpOutcome::kInserter:
      return "Arp. Inserter address.";
    case ArpOutcome::kNotFound:
      return "Arp. Not found destination IP.";
    default:
      return nullptr;
  }
}

}  // namespace

ArpOutcome ArpReply(std::span<uint8_t> frame, const ArpContext& context) {
  const IpMacEntry* row = nullptr;
  const ArpOutcome outcome = Judge(frame, context, row);
  if (outcome == ArpOutcome::kAnswered) BuildReply(frame, context.dvb ? row->mac : kFixedMac);
  return outcome;
}

ArpOutcome ArpVerdict(std::span<const uint8_t> frame, const ArpContext& context) {
  const IpMacEntry* row = nullptr;
  return Judge(frame, context, row);
}

std::string ArpLogLine(ArpOutcome outcome, std::span<const uint8_t> frame, int level) {
  if (level < (outcome == ArpOutcome::kAnswered ? 3 : 2)) return {};
  char line[96];
  if (outcome == ArpOutcome::kTooShort) {
    std::snprintf(line, sizeof line, "Arp. Too short frame (%zu bytes).\n", frame.size());
    return line;
  }
  const char* text = TextOf(outcome);
  if (text == nullptr) return {};
  const uint8_t* s = frame.data() + arp::kSenderIp;
  const uint8_t* t = frame.data() + arp::kTargetIp;
  std::snprintf(line, sizeof line, "%s IPsrc=%d.%d.%d.%d, IPdst=%d.%d.%d.%d\n", text, s[0], s[1],
                s[2], s[3], t[0], t[1], t[2], t[3]);
  return line;
}

}  // namespace velmora
