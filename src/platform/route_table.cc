#include "platform/route_table.h"

#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace velmora {
namespace {

// The route attributes kept in a row, each a 32-bit value.
constexpr std::pair<uint16_t, uint32_t RouteRow::*> kRouteAttributes[] = {
    {RTA_DST, &RouteRow::destination},          {RTA_GATEWAY, &RouteRow::gateway},
    {RTA_OIF, &RouteRow::interface_index},      {RTA_PRIORITY, &RouteRow::metric},
    {RTA_PREFSRC, &RouteRow::preferred_source}, {RTA_TABLE, &RouteRow::table}};

// The path attributes that a row does not keep.
bool IsUnkeptPathAttribute(uint16_t type) {
  return type == RTA_NH_ID || type == RTA_VIA || type == RTA_ENCAP;
}

// One path of RTA_MULTIPATH as it is read.
struct NextHopReading {
  NextHop hop;
  bool unkept_path = false;
};

int ReadNextHopAttribute(const nlattr* attribute, void* data) {
  auto* reading = static_cast<NextHopReading*>(data);
  const uint16_t type = mnl_attr_get_type(attribute);
  if (IsUnkeptPathAttribute(type)) reading->unkept_path = true;
  if (type == RTA_GATEWAY && mnl_attr_get_payload_len(attribute) == sizeof(uint32_t)) {
    reading->hop.gateway = mnl_attr_get_u32(attribute);
  }
  return MNL_CB_OK;
}

// The rtnexthop records of an RTA_MULTIPATH attribute, each followed by its own attributes, into
// the row.
void ReadNextHops(const nlattr* attribute, RouteRow& row) {
  row.next_hops.clear();
  const auto* data = static_cast<const char*>(mnl_attr_get_payload(attribute));
  size_t remaining = mnl_attr_get_payload_len(attribute);
  while (remaining >= sizeof(rtnexthop)) {
    const auto* record = reinterpret_cast<const rtnexthop*>(data);
    if (record->rtnh_len < sizeof(rtnexthop) || record->rtnh_len > remaining) break;
    NextHopReading reading{
        .hop = {.interface_index = static_cast<uint32_t>(record->rtnh_ifindex),
                .flags = static_cast<uint8_t>(record->rtnh_flags & RTNH_F_ONLINK),
                .weight = static_cast<uint16_t>(record->rtnh_hops + 1)}};
    mnl_attr_parse_payload(RTNH_DATA(record), record->rtnh_len - RTNH_LENGTH(0),
                           ReadNextHopAttribute, &reading);
    row.next_hops.push_back(reading.hop);
    if (reading.unkept_path) row.unkept_path = true;
    const size_t step = std::min<size_t>(RTNH_ALIGN(record->rtnh_len), remaining);
    data += step;
    remaining -= step;
  }
}

void PutNextHops(nlmsghdr* message, const std::vector<NextHop>& hops) {
  nlattr* nest = mnl_attr_nest_start(message, RTA_MULTIPATH);
  for (const NextHop& hop : hops) {
    auto* record = static_cast<rtnexthop*>(mnl_nlmsg_get_payload_tail(message));
    message->nlmsg_len += RTNH_ALIGN(sizeof(rtnexthop));
    *record = {.rtnh_len = 0,
               .rtnh_flags = hop.flags,
               .rtnh_hops = static_cast<unsigned char>(hop.weight - 1),
               .rtnh_ifindex = static_cast<int>(hop.interface_index)};
    if (hop.gateway != 0) mnl_attr_put_u32(message, RTA_GATEWAY, hop.gateway);
    record->rtnh_len = static_cast<unsigned short>(
        static_cast<char*>(mnl_nlmsg_get_payload_tail(message)) - reinterpret_cast<char*>(record));
  }
  mnl_attr_nest_end(message, nest);
}

int ReadRouteAttribute(const nlattr* attribute, void* data) {
  auto* row = static_cast<RouteRow*>(data);
  const uint16_t type = mnl_attr_get_type(attribute);
  if (type == RTA_MULTIPATH) ReadNextHops(attribute, *row);
  if (IsUnkeptPathAttribute(type)) row->unkept_path = true;
  if (type == RTA_METRICS) {
    const auto* payload = static_cast<const uint8_t*>(mnl_attr_get_payload(attribute));
    row->metrics.assign(payload, payload + mnl_attr_get_payload_len(attribute));
  }
  if (mnl_attr_get_payload_len(attribute) != sizeof(uint32_t)) return MNL_CB_OK;
  for (const auto& [kept_type, field] : kRouteAttributes) {
    if (type == kept_type) row->*field = mnl_attr_get_u32(attribute);
  }
  return MNL_CB_OK;
}

// IFA_LOCAL is the interface's own address; IFA_ADDRESS is the peer's on a point-to-point link
// and the own one elsewhere.
struct AddressAttributes {
  std::optional<uint32_t> local;
  std::optional<uint32_t> address;
};

int ReadAddressAttribute(const nlattr* attribute, void* data) {
  auto* attributes = static_cast<AddressAttributes*>(data);
  if (mnl_attr_get_payload_len(attribute) != sizeof(uint32_t)) return MNL_CB_OK;
  if (mnl_attr_get_type(attribute) == IFA_LOCAL) attributes->local = mnl_attr_get_u32(attribute);
  if (mnl_attr_get_type(attribute) == IFA_ADDRESS) {
    attributes->address = mnl_attr_get_u32(attribute);
  }
  return MNL_CB_OK;
}

RouteRow ReadRoute(const nlmsghdr& message) {
  const auto* header = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(&message));
  RouteRow row;
  row.prefix_length = header->rtm_dst_len;
  row.tos = header->rtm_tos;
  row.protocol = header->rtm_protocol;
  row.scope = header->rtm_scope;
  row.type = header->rtm_type;
  row.table = header->rtm_table;
  row.flags = static_cast<uint8_t>(header->rtm_flags & RTNH_F_ONLINK);
  mnl_attr_parse(&message, sizeof(rtmsg), ReadRouteAttribute, &row);
  return row;
}

bool IsIpv4Route(const nlmsghdr& message) {
  if (message.nlmsg_type != RTM_NEWROUTE) return false;
  return static_cast<const rtmsg*>(mnl_nlmsg_get_payload(&message))->rtm_family == AF_INET;
}

rtmsg* StartRouteMessage(NetlinkSocket& socket, uint16_t type, uint16_t flags) {
  auto* header =
      static_cast<rtmsg*>(mnl_nlmsg_get_payload(socket.StartMessage(type, flags, sizeof(rtmsg))));
  header->rtm_family = AF_INET;
  return header;
}

nlmsghdr* MessageOf(void* family_header) {
  return reinterpret_cast<nlmsghdr*>(static_cast<char*>(family_header) - MNL_NLMSG_HDRLEN);
}

}  // namespace

std::optional<std::vector<RouteRow>> RouteTable::ListRoutes() {
  StartRouteMessage(socket_, RTM_GETROUTE, NLM_F_DUMP);
  return socket_.Collect<RouteRow>([](const nlmsghdr& message) -> std::optional<RouteRow> {
    if (!IsIpv4Route(message)) return std::nullopt;
    const RouteRow row = ReadRoute(message);
    if (row.table != RT_TABLE_MAIN) return std::nullopt;
    return row;
  });
}

std::optional<RouteRow> RouteTable::LookUp(uint32_t address) {
  // Asked with an acknowledgement, so that the single answer ends like a dump does.
  rtmsg* header = StartRouteMessage(socket_, RTM_GETROUTE, NLM_F_ACK);
  header->rtm_dst_len = 32;
  mnl_attr_put_u32(MessageOf(header), RTA_DST, address);
  std::optional<RouteRow> found;
  const bool read = socket_.Dump(
      [&found](const nlmsghdr& message) {
        if (IsIpv4Route(message)) found = ReadRoute(message);
        return true;
      },
      [&found] { found.reset(); });
  if (!read) return std::nullopt;
  if (!found) errno = ENOENT;
  return found;
}

int RouteTable::AddRoute(const RouteRow& row) {
  return ChangeRoute(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, row);
}

int RouteTable::DeleteRoute(const RouteRow& row) {
  return ChangeRoute(RTM_DELROUTE, 0, row);
}

int RouteTable::ChangeRoute(uint16_t type, uint16_t flags, const RouteRow& row) {
  rtmsg* header = StartRouteMessage(socket_, type, flags);
  header->rtm_dst_len = row.prefix_length;
  header->rtm_tos = row.tos;
  header->rtm_protocol = row.protocol;
  header->rtm_scope = row.scope;
  header->rtm_type = row.type;
  header->rtm_flags = row.flags;
  header->rtm_table = static_cast<uint8_t>(row.table < 256 ? row.table : RT_TABLE_UNSPEC);
  nlmsghdr* message = MessageOf(header);
  mnl_attr_put_u32(message, RTA_TABLE, row.table);
  if (row.prefix_length > 0) mnl_attr_put_u32(message, RTA_DST, row.destination);
  if (row.gateway != 0) mnl_attr_put_u32(message, RTA_GATEWAY, row.gateway);
  if (row.interface_index != 0) mnl_attr_put_u32(message, RTA_OIF, row.interface_index);
  if (row.preferred_source != 0) mnl_attr_put_u32(message, RTA_PREFSRC, row.preferred_source);
  if (!row.next_hops.empty()) PutNextHops(message, row.next_hops);
  if (!row.metrics.empty()) {
    mnl_attr_put(message, RTA_METRICS, row.metrics.size(), row.metrics.data());
  }
  mnl_attr_put_u32(message, RTA_PRIORITY, row.metric);
  return socket_.Change();
}

std::optional<std::vector<InterfaceAddress>> RouteTable::ListAddresses() {
  auto* header = static_cast<ifaddrmsg*>(
      mnl_nlmsg_get_payload(socket_.StartMessage(RTM_GETADDR, NLM_F_DUMP, sizeof(ifaddrmsg))));
  header->ifa_family = AF_INET;
  return socket_.Collect<InterfaceAddress>(
      [](const nlmsghdr& message) -> std::optional<InterfaceAddress> {
        if (message.nlmsg_type != RTM_NEWADDR) return std::nullopt;
        const auto* info = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(&message));
        if (info->ifa_family != AF_INET) return std::nullopt;
        AddressAttributes attributes;
        mnl_attr_parse(&message, sizeof(ifaddrmsg), ReadAddressAttribute, &attributes);
        return InterfaceAddress{
            .interface_index = info->ifa_index,
            .address = attributes.local.value_or(attributes.address.value_or(0))};
      });
}

int RouteTable::DeleteNeighbour(uint32_t interface_index, uint32_t address) {
  nlmsghdr* message = socket_.StartMessage(RTM_DELNEIGH, 0, sizeof(ndmsg));
  auto* header = static_cast<ndmsg*>(mnl_nlmsg_get_payload(message));
  header->ndm_family = AF_INET;
  header->ndm_ifindex = static_cast<int>(interface_index);
  mnl_attr_put_u32(message, NDA_DST, address);
  return socket_.Change();
}

}  // namespace velmora
