#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "packet/packet_path.h"
#include "packet/service_source.h"
#include "packet/source_batch.h"
#include "tables/network_tables.h"

namespace velmora {

class L2tpPeerList;
class L2tpUserList;
namespace l2tp {
class CL2tp;
}

// The L2TP source: at each service start it starts the L2TP network server with the router's
// settings, users and peers; the server's thread then calls L2tpPacket for every IPv4 packet a
// user sends, which is resolved like the packets of any other source, and DeliverBatch at the end
// of each read burst, which hands the burst's packets to the output at once.
// The control thread drives the service phases; L2tpPacket runs on the server's thread.
class L2tpLink final : public ServiceSource {
 public:
  struct Settings {
    const SharedNumber<int32_t>& enable;
    const SharedNumber<int32_t>& port;
    const SharedNumber<uint32_t>& pool_start;  // network order
    const SharedNumber<int32_t>& pool_size;
    const SharedNumber<int32_t>& log_level;
    const L2tpUserList& users;
    const L2tpPeerList& peers;
  };
  static constexpr uint16_t kHeaderPid = 5;

  L2tpLink(PacketPath& path, l2tp::CL2tp& server, Settings settings);

  std::string_view name() const override { return "L2TP"; }
  bool Enabled() const override { return settings_.enable != 0; }
  void Launch() override { StartL2tpLink(); }
  void Close() override;
  void Join() override;

  // Hands the server its parameters, the router's users and peers (replacing what it had), and
  // starts it; false when it did not start (it logs why).
  bool StartL2tpLink();
  // One delivered packet; the bytes belong to the server and are copied before they are kept.
  void L2tpPacket(const uint8_t* buffer, uint32_t length);
  void DeliverBatch();

 private:
  void Refuse(std::string_view text, std::span<const uint8_t> frame, int level);

  PacketPath& path_;
  l2tp::CL2tp& server_;
  Settings settings_;
  SourceSettings run_;  // of the current run; set before the server thread starts
  // Server thread only: the copies of a burst's packets, resolved in place, the i-th added to
  // the batch in slot i.
  std::vector<uint8_t> copies_;  // kDatagramBatch slots of l2tp::kMaxDeliveredPacket bytes
  SourceBatch batch_;
  std::optional<TableReader> reader_;  // server thread only
};

}  // namespace velmora
