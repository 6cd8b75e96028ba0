#include "platform/network_links.h"

#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <cstring>

#include "platform/netlink_socket.h"

namespace velmora {
namespace {

int ReadLinkInfoAttribute(const nlattr* attribute, void* data) {
  if (mnl_attr_get_type(attribute) == IFLA_INFO_KIND) {
    const auto* payload = static_cast<const char*>(mnl_attr_get_payload(attribute));
    static_cast<NetworkLink*>(data)->kind.assign(
        payload, strnlen(payload, mnl_attr_get_payload_len(attribute)));
  }
  return MNL_CB_OK;
}

// A link as its attributes are read, and whether the device it is stacked on is in another
// namespace.
struct ParsedLink {
  NetworkLink link;
  bool parent_elsewhere = false;
};

int ReadLinkAttribute(const nlattr* attribute, void* data) {
  auto* parsed = static_cast<ParsedLink*>(data);
  NetworkLink* link = &parsed->link;
  const auto* payload = static_cast<const char*>(mnl_attr_get_payload(attribute));
  const uint16_t length = mnl_attr_get_payload_len(attribute);
  switch (mnl_attr_get_type(attribute)) {
    case IFLA_IFNAME:
      link->name.assign(payload, strnlen(payload, length));
      break;
    case IFLA_IFALIAS:
      link->alias.assign(payload, strnlen(payload, length));
      break;
    case IFLA_ADDRESS:
      link->hardware_address.assign(payload, payload + length);
      break;
    case IFLA_MASTER:
      if (length >= sizeof(uint32_t)) link->master = mnl_attr_get_u32(attribute);
      break;
    case IFLA_LINK:
      if (length >= sizeof(uint32_t)) link->parent = mnl_attr_get_u32(attribute);
      break;
    case IFLA_LINK_NETNSID:
      parsed->parent_elsewhere = true;
      break;
    case IFLA_LINKINFO:
      mnl_attr_parse_nested(attribute, ReadLinkInfoAttribute, link);
      break;
    case IFLA_STATS64:
      if (length >= sizeof(rtnl_link_stats64)) {
        rtnl_link_stats64 statistics;
        std::memcpy(&statistics, payload, sizeof statistics);
        link->transmit_drops = statistics.tx_dropped;
      }
      break;
    default:
      break;
  }
  return MNL_CB_OK;
}

// Kinds of interface stacked on another one, whose frames that other one receives first.
bool IsStacked(const NetworkLink& link) {
  return link.kind == "vlan" || link.kind == "macvlan" || link.kind == "macvtap" ||
         link.kind == "ipvlan";
}

}  // namespace

std::optional<std::vector<NetworkLink>> ListNetworkLinks() {
  NetlinkSocket socket;
  if (!socket.is_open()) return std::nullopt;
  auto* request = static_cast<ifinfomsg*>(
      mnl_nlmsg_get_payload(socket.StartMessage(RTM_GETLINK, NLM_F_DUMP, sizeof(ifinfomsg))));
  request->ifi_family = AF_UNSPEC;
  return socket.Collect<NetworkLink>([](const nlmsghdr& message) -> std::optional<NetworkLink> {
    if (message.nlmsg_type != RTM_NEWLINK) return std::nullopt;
    const auto* info = static_cast<const ifinfomsg*>(mnl_nlmsg_get_payload(&message));
    ParsedLink parsed;
    parsed.link.index = static_cast<uint32_t>(info->ifi_index);
    parsed.link.hardware_type = info->ifi_type;
    parsed.link.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
    mnl_attr_parse(&message, sizeof(ifinfomsg), ReadLinkAttribute, &parsed);
    // The index of a device in another namespace means nothing here.
    if (parsed.parent_elsewhere) parsed.link.parent = 0;
    return parsed.link;
  });
}

std::optional<NetworkLink> FindLinkByDescription(const std::vector<NetworkLink>& links,
                                                 std::string_view description) {
  std::optional<NetworkLink> found;
  for (const NetworkLink& link : links) {
    if (link.loopback || link.alias.find("Loopback") != std::string::npos) continue;
    if (link.alias.find(description) != std::string::npos) found = link;
  }
  return found;
}

std::vector<std::string> ReceivingInterfaces(const std::vector<NetworkLink>& links,
                                             uint32_t index) {
  std::vector<std::string> names;
  std::vector<uint32_t> pending = {index};
  std::vector<uint32_t> seen;
  while (!pending.empty()) {
    const uint32_t next = pending.back();
    pending.pop_back();
    if (std::find(seen.begin(), seen.end(), next) != seen.end()) continue;
    seen.push_back(next);
    for (const NetworkLink& link : links) {
      if (link.master == next) pending.push_back(link.index);
      if (link.index != next) continue;
      names.push_back(link.name);
      if (IsStacked(link) && link.parent != 0) pending.push_back(link.parent);
    }
  }
  return names;
}

}  // namespace velmora
