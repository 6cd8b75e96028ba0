#include "platform/network_links.h"

#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include <cstring>

#include "platform/netlink_socket.h"

namespace velmora {
namespace {

int ReadLinkAttribute(const nlattr* attribute, void* data) {
  auto* link = static_cast<NetworkLink*>(data);
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
    default:
      break;
  }
  return MNL_CB_OK;
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
    NetworkLink link;
    link.index = static_cast<uint32_t>(info->ifi_index);
    link.loopback = (info->ifi_flags & IFF_LOOPBACK) != 0;
    mnl_attr_parse(&message, sizeof(ifinfomsg), ReadLinkAttribute, &link);
    return link;
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

}  // namespace velmora
