#include "packet/corvid_source.h"

#include <pthread.h>

#include <array>
#include <string>

#include "packet/adapter_routes.h"
#include "packet/arp_answer.h"
#include "packet/frame_filters.h"
#include "packet/inserter_datagram.h"
#include "packet/output_queue.h"
#include "packet/packet_dump.h"
#include "packet/packet_output.h"
#include "packet/source_error.h"
#include "platform/address_text.h"
#include "platform/socket_error.h"
#include "stats/status_counters.h"
#include "support/cerrorcode.h"
#include "support/log.h"
#include "tables/network_tables.h"

namespace velmora {

CorvidSource::CorvidSource(PacketPath& path, AdapterRoutes& routes, Settings settings, Clock& clock)
    : path_(path),
      routes_(routes),
      settings_(settings),
      clock_(clock),
      oversized_(path.log, " frame(s) longer than an output queue slot dropped.") {}

void CorvidSource::OpenDriver() {
  open_ = false;
  probed_ = false;
  if (driver_.CorvidOpen(settings_.description) < 0) {
    path_.log << "Cannot find \"Tessaro Corvid Emulation Driver\" on this system. Check if this "
                 "driver installed and active.\n"
              << "Corvid. " + driver_.failure() + ".\n";
    return;
  }
  // What a previous run signalled and nobody waited for is forgotten.
  frame_event_.Reset();
  arp_event_.Reset();
  if (driver_.CorvidSetFrameEvent(frame_event_) && driver_.CorvidSetArpEvent(arp_event_)) {
    open_ = true;
  } else {
    path_.log << "Cannot set synchronization object with \"Tessaro Corvid Emulation Driver\"\n"
              << "Corvid. " + driver_.failure() + ".\n";
  }
}

void CorvidSource::Launch() {
  if (!open_) return;
  probed_ = true;
  if (routes_.ProbeCorvidAdapter()) {
    const SourceSettings run = path_.settings();
    arp_thread_ = std::thread(
        [this, arp = ArpSettings{run.dvb, settings_.inserter.get(), OwnIpv4Addresses()}]() mutable {
          RunArp(std::move(arp));
        });
    pthread_setname_np(arp_thread_.native_handle(), "corvid-arp");
    frame_thread_ = std::thread([this, run] { RunFrames(run); });
    pthread_setname_np(frame_thread_.native_handle(), "corvid-frame");
  } else {
    path_.log << "Cannot properly set \"Tessaro Corvid Emulation Driver\". \n"
              << "Corvid driver is disable.\n";
    open_ = false;
  }
  clock_.SleepFor(kSourceSettleTime);
}

void CorvidSource::Wake() {
  arp_event_.Signal();
  frame_event_.Signal();
}

void CorvidSource::Close() {
  Join();
  if (const uint64_t dropped = driver_.dropped(); dropped > 0) {
    path_.log << "Corvid. " + std::to_string(dropped) +
                     " frame(s) dropped in the adapter's queues.\n";
  }
  driver_.CorvidClose();
  open_ = false;
  if (probed_) routes_.RemoveCorvidRoutes();
  probed_ = false;
}

void CorvidSource::Join() {
  if (arp_thread_.joinable()) arp_thread_.join();
  if (frame_thread_.joinable()) frame_thread_.join();
}

void CorvidSource::RunFrames(SourceSettings run) {
  TableReader reader(path_.tables);
  FrameBatch frames(kQosHeaderSize);
  for (;;) {
    // A full batch may have more behind it: those are read before the next wait.
    if (!frames.full()) frame_event_.Wait();
    if (path_.running == 0) break;
    const int count = driver_.CorvidGetFrames(frames);
    if (count < 0) {
      LogSourceError(path_.log, cerrorcode(SocketErrorCode(-count)));
      break;
    }
    const TableSnapshot& tables = reader.Current();
    for (size_t i = 0; i < frames.size(); ++i) HandleFrame(frames.slot(i), tables, run);
    batch_.Deliver(path_.statistics, path_.output);
    oversized_.Tick(clock_.Now());
  }
  oversized_.Flush(clock_.Now());
}

bool CorvidSource::RefuseBadSize(const CorvidFrame& result, std::span<const uint8_t> frame,
                                 int level) {
  const int32_t length = static_cast<int32_t>(frame.size());
  if (result.outcome == CorvidOutcome::kTooShort) {
    if (level >= 2) path_.log << "Corvid. Short frame (" << length << " bytes).\n";
  } else if (result.outcome == CorvidOutcome::kTooLong) {
    path_.log << "Corvid. Frame of " << length << " bytes longer than "
              << static_cast<int32_t>(kMaxCorvidFrame) << " bytes dropped.\n";
  } else {
    return false;
  }
  path_.counters.bad_packets.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void CorvidSource::HandleFrame(std::span<uint8_t> slot, const TableSnapshot& tables,
                               const SourceSettings& run) {
  StatusCounters& counters = path_.counters;
  if (OverTrafficLimit(counters, run.traffic_control, run.traffic_limit)) return;
  const CorvidFrame result = DecodeCorvidFrame(slot, tables, run.dvb);
  const std::span<const uint8_t> frame = slot.subspan(kQosHeaderSize);
  Log& log = path_.log;
  const int level = log.level();
  if (RefuseBadSize(result, frame, level) || result.outcome == CorvidOutcome::kLowPort) return;
  counters.CountArrival(result.multicast);
  counters.CountResolution(result.outcome != CorvidOutcome::kUnresolvedPid);
  if (result.outcome == CorvidOutcome::kUnresolvedPid) {
    if (level >= 2) log << "Corvid. Unresolved PID.\n" + PacketDump(frame, level);
    return;
  }
  if (result.outcome == CorvidOutcome::kUnresolvedMac) {
    if (level >= 2) {
      log << "Can't define MAC address\nCorvid. Unresolved MAC.\n" + PacketDump(frame, level);
    }
    return;
  }
  if (level >= 3) log << "Corvid. --------------------------\n" + PacketDump(frame, level);
  PassOn(result);
}

void CorvidSource::PassOn(const CorvidFrame& result) {
  StatusCounters& counters = path_.counters;
  counters.routed_active.store(true, std::memory_order_relaxed);
  counters.CountBytes(result.multicast, result.payload);
  counters.CountFrame(result.multicast);
  batch_.Count(result.destination, result.payload);
  if (result.datagram.size() > OutputQueue::kSlotSize && path_.output.queue_in_use()) {
    const size_t frame_size = result.datagram.size() - kQosHeaderSize;
    counters.oversized_drops.fetch_add(1, std::memory_order_relaxed);
    oversized_.Count(clock_.Now(), [frame_size] {
      return "Corvid. " + std::to_string(frame_size) + "-byte frame; ";
    });
    return;
  }
  batch_.Add(result.datagram);
}

void CorvidSource::RunArp(ArpSettings run) {
  TableReader reader(path_.tables);
  std::array<uint8_t, kMaxCorvidFrame> frame;
  for (;;) {
    arp_event_.Wait();
    if (path_.running == 0) break;
    uint32_t length = 0;
    const int taken = driver_.CorvidGetArp(frame, length);
    if (taken < 0) {  // the adapter is gone: its queue would wake this thread without end
      LogSourceError(path_.log, cerrorcode(SocketErrorCode(-taken)));
      break;
    }
    if (taken == 0) {
      path_.log << "Cannot read Arp frame...\n";
      continue;
    }
    path_.counters.arp_requests.fetch_add(1, std::memory_order_relaxed);
    AnswerArp({frame.data(), length}, reader.Current(), run);
  }
}

void CorvidSource::AnswerArp(std::span<uint8_t> frame, const TableSnapshot& tables,
                             ArpSettings& run) {
  const ArpOutcome outcome = AnswerArpRequest(
      frame, {.tables = tables, .dvb = run.dvb, .inserter = run.inserter}, run.own_addresses);
  const std::string line = ArpLogLine(outcome, frame, path_.log.level());
  if (!line.empty()) path_.log << line;
  if (outcome != ArpOutcome::kAnswered) return;
  driver_.CorvidPutFrame(frame);
  path_.counters.arp_answers.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace velmora
