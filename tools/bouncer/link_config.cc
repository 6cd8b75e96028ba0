#include "bouncer/link_config.h"

#include <arpa/inet.h>

#include <charconv>
#include <string_view>

#include "platform/address_text.h"

namespace velmora {

namespace {

// Read as the router reads the addresses of its tables and of this file (so "10.1" is 10.0.0.1),
// so that both take a link's DestinationIP for the same host.
std::optional<uint32_t> ParseIpv4(const std::string& text) {
  constexpr std::string_view kBroadcast = "255.255.255.255";
  const uint32_t address = DottedToAddress(text);
  if (address == INADDR_NONE && text != kBroadcast) return std::nullopt;
  return address;
}

std::optional<uint32_t> ParseNumber(const std::string& text, uint32_t highest) {
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > highest) {
    return std::nullopt;
  }
  return value;
}

// Reads the keys of one link's section and notes the first one that is missing or bad. Made and
// used by the thread that reads the file.
class LinkSection {
 public:
  LinkSection(const stdini& ini, int32_t number) : ini_(ini), section_(std::to_string(number)) {}

  std::string Text(const std::string& key) {
    const std::string value = ini_.GetValue(section_, key);
    if (value.empty()) Fail(key, "is missing");
    return value;
  }
  uint32_t Address(const std::string& key) {
    const std::string text = Text(key);
    const auto address = ParseIpv4(text);
    if (!text.empty() && !address) Fail(key, "\"" + text + "\" is not an IPv4 address");
    return address.value_or(0);
  }
  uint16_t Port(const std::string& key) { return static_cast<uint16_t>(Number(key, 1, 65535)); }
  uint32_t Number(const std::string& key, uint32_t lowest, uint32_t highest) {
    const std::string text = Text(key);
    const auto value = ParseNumber(text, highest);
    if (!text.empty() && (!value || *value < lowest)) {
      Fail(key, "\"" + text + "\" is not a number from " + std::to_string(lowest) + " to " +
                    std::to_string(highest));
    }
    return value.value_or(0);
  }
  MacAddress Mac(const std::string& key) {
    const std::string text = Text(key);
    const auto mac = ParseMac(text);
    if (!text.empty() && !mac) Fail(key, "\"" + text + "\" is not a MAC address");
    return mac.value_or(MacAddress{});
  }
  bool Has(const std::string& key) const { return !ini_.GetValue(section_, key).empty(); }
  void Fail(const std::string& key, const std::string& why) {
    if (problem_.empty()) problem_ = "link " + section_ + ": " + key + " " + why;
  }
  const std::string& problem() const { return problem_; }

 private:
  const stdini& ini_;
  std::string section_;
  std::string problem_;
};

void ReadQosKeys(LinkSection& section, BouncerLink& link) {
  const std::string add = section.Text("AddQoSHeaders");
  if (add != "0" && add != "1") section.Fail("AddQoSHeaders", "\"" + add + "\" is neither 0 nor 1");
  link.add_qos_headers = add == "1";
  if (!link.add_qos_headers) return;
  link.destination_mac = section.Mac("DestinationMACAddress");
  link.stream_pid = static_cast<uint16_t>(section.Number("StreamPid", 0, 65535));
  if (section.Text("send_protocol") != "UDP") section.Fail("send_protocol", "is not \"UDP\"");
  link.send_ip = section.Address("send_unicast_ip");
  link.send_port = section.Port("send_port");
}

std::optional<BouncerLink> ReadLink(const stdini& ini, int32_t number, std::string& problem) {
  LinkSection section(ini, number);
  BouncerLink link;
  link.number = number;
  link.receive_port = section.Port("receive_port");
  if (section.Has("receive_bind_ip")) link.receive_bind_ip = section.Address("receive_bind_ip");
  if (section.Has("receive_multicast_ip")) {
    link.receive_multicast_ip = section.Address("receive_multicast_ip");
    if ((ntohl(*link.receive_multicast_ip) >> 28) != 0xe) {
      section.Fail("receive_multicast_ip", "is not a multicast group");
    }
  }
  link.destination_ip = section.Address("DestinationIP");
  link.destination_port = section.Port("DestinationPort");
  if (section.Has("AddQoSHeaders")) ReadQosKeys(section, link);
  problem = section.problem();
  if (!problem.empty()) return std::nullopt;
  return link;
}

}  // namespace

BouncerLinks ReadBouncerLinks(const stdini& ini) {
  BouncerLinks result;
  for (const int32_t number : ini.GetIntList("main", "links")) {
    if (ini.GetValue(std::to_string(number), "active") != "true") continue;
    std::string problem;
    if (auto link = ReadLink(ini, number, problem)) {
      result.links.push_back(*link);
    } else {
      result.problems.push_back(problem);
    }
  }
  return result;
}

}  // namespace velmora
