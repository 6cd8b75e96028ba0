#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "packet/packet_path.h"
#include "packet/service_source.h"
#include "packet/source_batch.h"
#include "packet/transparent_datagram.h"
#include "platform/address_text.h"
#include "platform/udp_socket.h"

namespace velmora {

class TableReader;

// The transparent-port source: other programs send datagrams already in the inserter format to
// `TransparentPort`; this thread receives them in batches, resolves their PID and MAC from the
// tables one by one (or passes them on when marked as resolved), counts them and hands each
// batch over at once. The control thread drives it through
// the service phases; its own thread alone receives on the socket.
class TransparentPort final : public ServiceSource {
 public:
  struct Settings {
    const SharedNumber<int32_t>& enable;
    const SharedNumber<uint16_t>& port;
  };
  // Asks the tap driver to answer for an IPv6 address with a MAC; false when it cannot.
  using AddIpv6Address = std::function<bool(const Ipv6Address&, const MacAddress&)>;
  TransparentPort(PacketPath& path, Settings settings, AddIpv6Address add_ipv6_address);
  ~TransparentPort() override { Join(); }

  std::string_view name() const override { return "Transparent"; }
  bool Enabled() const override { return settings_.enable != 0; }
  // Creates the socket here, so that a stop right after the start always finds it; the thread
  // binds it and receives.
  void Launch() override;
  void Join() override;

 private:
  void Run(uint16_t port, SourceSettings run);
  // The IPv6 rows' addresses, each with the MAC its hosts are reached by on the channel.
  void AddIpv6Addresses(const TableSnapshot& tables, bool dvb);
  // One datagram, resolved in place or rebuilt into `rebuilt`, and added to the batch.
  void Handle(std::span<uint8_t> datagram, const TableSnapshot& tables, const SourceSettings& run,
              std::vector<uint8_t>& rebuilt);
  // The counting of a datagram that is passed on, and its place in the batch.
  void PassOn(const TransparentResult& result);
  void Refused(const TransparentResult& result, std::span<const uint8_t> datagram);

  PacketPath& path_;
  Settings settings_;
  AddIpv6Address add_ipv6_address_;
  std::optional<UdpSocket> socket_;
  // The receiving thread's: the IPv6 datagrams of a batch with their new QoS headers, and the
  // batch for the output.
  std::array<std::vector<uint8_t>, kDatagramBatch> rebuilt_;
  SourceBatch batch_;
  std::thread thread_;
};

}  // namespace velmora
