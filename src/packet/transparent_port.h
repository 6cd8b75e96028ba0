#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "packet/packet_path.h"
#include "packet/service_source.h"
#include "packet/transparent_datagram.h"
#include "platform/address_text.h"
#include "platform/udp_socket.h"

namespace velmora {

class TableReader;

// The transparent-port source: other programs send datagrams already in the inserter format to
// `TransparentPort`; this thread resolves their PID and MAC from the tables (or passes them on
// when marked as resolved), counts them and hands them over. The control thread drives it through
// the service phases; its own thread alone receives on the socket.
class TransparentPort final : public ServiceSource {
 public:
  struct Settings {
    const SharedNumber<int32_t>& enable;
    const SharedNumber<uint16_t>& port;
  };
  // `add_ipv6_address` asks the tap driver to answer for an IPv6 address; false when it cannot.
  TransparentPort(PacketPath& path, Settings settings,
                  std::function<bool(const Ipv6Address&)> add_ipv6_address);
  ~TransparentPort() override { Join(); }

  std::string_view name() const override { return "Transparent"; }
  bool Enabled() const override { return settings_.enable != 0; }
  // Creates the socket here, so that a stop right after the start always finds it; the thread
  // binds it and receives.
  void Launch() override;
  void Join() override;

 private:
  void Run(uint16_t port, SourceSettings run);
  void AddIpv6Addresses(const TableSnapshot& tables);
  void Handle(std::span<uint8_t> datagram, const TableSnapshot& tables, const SourceSettings& run);
  // The counting, statistics and hand-over of a datagram that is passed on.
  void PassOn(const TransparentResult& result);
  void Refused(const TransparentResult& result, std::span<const uint8_t> datagram);

  PacketPath& path_;
  Settings settings_;
  std::function<bool(const Ipv6Address&)> add_ipv6_address_;
  std::optional<UdpSocket> socket_;
  std::vector<uint8_t> rebuilt_;  // an IPv6 datagram with its new QoS header
  std::thread thread_;
};

}  // namespace velmora
