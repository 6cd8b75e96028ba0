#include "packet/l2tp_link.h"

#include <arpa/inet.h>

#include <cstdio>

#include "l2tp/cl2tp.h"
#include "packet/frame_filters.h"
#include "packet/inserter_datagram.h"
#include "packet/l2tp_datagram.h"
#include "packet/packet_dump.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"
#include "support/log.h"
#include "tables/l2tp_peer_list.h"
#include "tables/l2tp_user_list.h"

namespace velmora {

L2tpLink::L2tpLink(PacketPath& path, l2tp::CL2tp& server, Settings settings)
    : path_(path),
      server_(server),
      settings_(settings),
      copies_(kDatagramBatch * l2tp::kMaxDeliveredPacket) {}

bool L2tpLink::StartL2tpLink() {
  run_ = path_.settings();
  reader_.reset();
  l2tp::L2tpParams params;
  params.qosHeader = true;
  params.headerPid = kHeaderPid;
  params.headerAddress = htonl(INADDR_LOOPBACK);
  params.port = static_cast<uint32_t>(settings_.port.get());
  params.window = [this](const std::string& text) { path_.log << text + "\n"; };
  params.callback = [this](const uint8_t* buffer, uint32_t length) { L2tpPacket(buffer, length); };
  params.burstEnd = [this] { DeliverBatch(); };
  params.poolStart = settings_.pool_start;
  params.poolSize = static_cast<uint32_t>(settings_.pool_size.get());
  params.debugLevel = static_cast<uint32_t>(settings_.log_level.get());
  if (!server_.SetParameters(params)) return false;
  std::vector<l2tp::L2tpUser> users;
  for (const auto& [name, password] : settings_.users.Entries()) users.push_back({name, password});
  server_.ReplaceUsers(users);
  std::vector<l2tp::L2tpPeer> peers;
  for (const uint32_t address : settings_.peers.Entries()) peers.push_back({.address = address});
  server_.ReplacePeers(peers);
  return server_.Start();
}

void L2tpLink::Close() {
  server_.Stop();
}

void L2tpLink::Join() {
  server_.Wait();
}

void L2tpLink::Refuse(std::string_view text, std::span<const uint8_t> frame, int level) {
  if (level < 2) return;
  std::string line = "L2TP. " + std::string(text) + "\n";
  if (!frame.empty()) line += PacketDump(frame, level);
  path_.log << line;
}

void L2tpLink::L2tpPacket(const uint8_t* buffer, uint32_t length) {
  if (OverTrafficLimit(path_.counters, run_.traffic_control, run_.traffic_limit)) return;
  if (!reader_) reader_.emplace(path_.tables);
  const int level = path_.log.level();
  StatusCounters& counters = path_.counters;
  if (length > l2tp::kMaxDeliveredPacket) {
    counters.bad_packets.fetch_add(1, std::memory_order_relaxed);
    Refuse("Bad packet length (" + std::to_string(length) + " bytes delivered).", {}, level);
    return;
  }
  if (batch_.full()) DeliverBatch();
  const std::span<uint8_t> datagram(copies_.data() + batch_.size() * l2tp::kMaxDeliveredPacket,
                                    length);
  std::copy(buffer, buffer + length, datagram.begin());
  const std::span<const uint8_t> frame = datagram.subspan(std::min<size_t>(length, kQosHeaderSize));
  if (level >= 3) path_.log << L2tpTrace(datagram);
  const L2tpResult result = ResolveL2tpDatagram(datagram, reader_->Current());
  switch (result.outcome) {
    case L2tpOutcome::kTooShort:
    case L2tpOutcome::kBadLength:
      counters.bad_packets.fetch_add(1, std::memory_order_relaxed);
      Refuse("Bad packet length (" + std::to_string(length) + " bytes delivered).", {}, level);
      return;
    case L2tpOutcome::kBadQosHeader:
      Refuse("Bad QoS header(not found dots).", {}, level);
      return;
    case L2tpOutcome::kBadIpVersion:
      Refuse("Bad IP packet(version isn't 4)", frame, level);
      return;
    case L2tpOutcome::kUnresolvedPid:
      counters.CountResolution(false);
      Refuse("Unresolved PID", frame, level);
      return;
    case L2tpOutcome::kUnresolvedMac:
      counters.CountResolution(true);
      Refuse("Can't define MAC address", frame, level);
      return;
    case L2tpOutcome::kResolved:
      break;
  }
  counters.CountResolution(true);
  const auto payload = static_cast<uint32_t>(result.payload);
  counters.CountPacket(result.multicast, payload);
  batch_.Count(result.destination, payload);
  if (level >= 3) {
    char line[48];
    std::snprintf(line, sizeof line, "L2TP. SendDst=%02X:%02X:%02X:%02X:%02X:%02X\n", frame[0],
                  frame[1], frame[2], frame[3], frame[4], frame[5]);
    path_.log << line;
  }
  batch_.Add(datagram);
}

void L2tpLink::DeliverBatch() {
  batch_.Deliver(path_.statistics, path_.output);
}

}  // namespace velmora
