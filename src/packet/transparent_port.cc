#include "packet/transparent_port.h"

#include <pthread.h>

#include "packet/frame_filters.h"
#include "packet/inserter_datagram.h"
#include "packet/packet_dump.h"
#include "packet/source_error.h"
#include "stats/status_counters.h"
#include "stats/traffic_statistics.h"
#include "support/cerrorcode.h"
#include "support/log.h"
#include "tables/network_tables.h"

namespace velmora {

TransparentPort::TransparentPort(PacketPath& path, Settings settings,
                                 AddIpv6Address add_ipv6_address)
    : path_(path), settings_(settings), add_ipv6_address_(std::move(add_ipv6_address)) {}

void TransparentPort::Launch() {
  socket_.emplace(path_.log);
  thread_ =
      std::thread([this, port = settings_.port.get(), run = path_.settings()] { Run(port, run); });
  pthread_setname_np(thread_.native_handle(), "transparent");
}

void TransparentPort::Join() {
  if (thread_.joinable()) thread_.join();
  socket_.reset();
}

void TransparentPort::Run(uint16_t port, SourceSettings run) {
  TableReader reader(path_.tables);
  try {
    AddIpv6Addresses(reader.Current(), run.dvb);
    socket_->SizeReceiveBuffer();
    socket_->Bind(port);
    DatagramBatch received(UdpSocket::kMaxDatagram);
    for (;;) {
      if (socket_->ReceiveBatch(received) != 0) {
        if (path_.running == 0) break;
        continue;
      }
      const TableSnapshot& tables = reader.Current();
      for (size_t i = 0; i < received.size(); ++i) Handle(received[i], tables, run, rebuilt_[i]);
      batch_.Deliver(path_.statistics, path_.output);
    }
  } catch (const cerrorcode& error) {
    LogSourceError(path_.log, error);
  }
  socket_->Close();
}

void TransparentPort::AddIpv6Addresses(const TableSnapshot& tables, bool dvb) {
  for (const Ipv6MacEntry& row : tables.ipv6_mac_rows()) {
    if (!add_ipv6_address_(row.address, dvb ? row.mac : kFixedMac)) {
      path_.log << "Failed to add IPV6 address: " << row.address_text << "\n";
    }
  }
}

void TransparentPort::Handle(std::span<uint8_t> datagram, const TableSnapshot& tables,
                             const SourceSettings& run, std::vector<uint8_t>& rebuilt) {
  if (OverTrafficLimit(path_.counters, run.traffic_control, run.traffic_limit)) return;
  if (path_.log.level() >= 3) path_.log << TransparentTrace(datagram);
  const TransparentResult result = HandleTransparentDatagram(datagram, tables, run.dvb, rebuilt);
  if (result.datagram.empty()) {
    Refused(result, datagram);
  } else {
    PassOn(result);
  }
}

void TransparentPort::PassOn(const TransparentResult& result) {
  StatusCounters& counters = path_.counters;
  const auto payload = static_cast<uint32_t>(result.payload);
  switch (result.outcome) {
    case TransparentOutcome::kResolvedIpv4:
      counters.CountResolution(true);
      counters.CountPacket(result.multicast, payload);
      batch_.Count(result.destination, payload);
      break;
    case TransparentOutcome::kPassedIpv4:
      batch_.Count(result.destination, payload);
      break;
    case TransparentOutcome::kResolvedIpv6:
      counters.CountResolution(true);
      counters.CountBytes(result.multicast, payload);
      counters.CountFrame(result.multicast);
      break;
    default:  // an IPv6 datagram passed through counts nothing
      break;
  }
  counters.internal_active.store(true, std::memory_order_relaxed);
  batch_.Add(result.datagram);
}

void TransparentPort::Refused(const TransparentResult& result, std::span<const uint8_t> datagram) {
  Log& log = path_.log;
  const int level = log.level();
  const std::span<const uint8_t> frame =
      datagram.subspan(std::min(datagram.size(), kQosHeaderSize));
  switch (result.outcome) {
    case TransparentOutcome::kTooLong:
      log << "Transparent. Get packet with length more maximum ("
          << static_cast<int32_t>(datagram.size()) << ").\n";
      path_.counters.internal_warning.store(true, std::memory_order_relaxed);
      break;
    case TransparentOutcome::kBadQosHeader:
      if (level >= 2) log << "Transparent. Bad QoS header\n";
      break;
    case TransparentOutcome::kBadIpPacket:
      if (level >= 2) log << "Transparent. Bad IP packet\n";
      break;
    case TransparentOutcome::kUnresolvedPid:
      path_.counters.CountResolution(false);
      if (level >= 2) log << "Transparent. Unresolved PID\n" << PacketDump(frame, level);
      break;
    case TransparentOutcome::kUnresolvedMac:
      path_.counters.CountResolution(true);
      if (level >= 2) {
        log << "Can't define MAC address\nTransparent. Unresolved MAC\n"
            << PacketDump(frame, level);
      }
      break;
    case TransparentOutcome::kIpv6NoPid:
      path_.counters.CountResolution(false);
      if (level >= 2) log << "Ip6 Transparent. Can't define PID.\n";
      break;
    default:
      break;
  }
}

}  // namespace velmora
