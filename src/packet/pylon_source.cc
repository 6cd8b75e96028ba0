#include "packet/pylon_source.h"

#include <algorithm>

#include <pthread.h>

#include <array>
#include <string>

#include "packet/arp_answer.h"
#include "packet/frame_filters.h"
#include "packet/inserter_datagram.h"
#include "packet/output_queue.h"
#include "packet/packet_dump.h"
#include "packet/packet_output.h"
#include "packet/source_error.h"
#include "platform/address_text.h"
#include "stats/status_counters.h"
#include "support/cerrorcode.h"
#include "support/log.h"
#include "tables/mac_address.h"
#include "tables/network_tables.h"
#include "tables/source_filter_list.h"

namespace velmora {

namespace {

constexpr size_t kSlotRoom = kQosHeaderSize + kMaxPylonFrame;

std::vector<uint32_t> SourceFilterAddresses(const SourceFilterList& list) {
  std::vector<uint32_t> addresses;
  for (const std::string& text : list.Entries()) addresses.push_back(DottedToAddress(text));
  return addresses;
}

// Runs a source thread's loop; a socket-layer error ends it with its log line.
template <typename Loop>
void RunLogged(Log& log, const Loop& loop) {
  try {
    loop();
  } catch (const cerrorcode& error) {
    LogSourceError(log, error);
  }
}

}  // namespace

size_t WritePylonFilters(std::span<const LocalFilterAddress> locals,
                         std::span<const uint32_t> sources, const PylonFilterSetters& setters,
                         size_t source_slots_before) {
  size_t slot = 0;
  for (const LocalFilterAddress& local : locals) {
    if (slot == kPylonFilterSlots) break;
    if (local.selected) setters.set_filter(slot++, local.address);
  }
  for (; slot < kPylonFilterSlots; ++slot) setters.set_filter(slot, 0);
  for (size_t i = 0; i < sources.size(); ++i) setters.set_source_filter(i, sources[i]);
  const size_t cleared_up_to = std::max(kPylonFilterSlots, source_slots_before);
  for (size_t i = sources.size(); i < cleared_up_to; ++i) setters.set_source_filter(i, 0);
  return sources.size();
}

PylonSource::PylonSource(PacketPath& path, Settings settings, Clock& clock)
    : path_(path),
      settings_(std::move(settings)),
      clock_(clock),
      driver_(std::string(settings_.virtual_adapter_description)),
      oversized_(path.log, " frame(s) longer than an output queue slot dropped."),
      unknown_targets_(path.log, " request(s) for hosts without a row.") {}

PylonDriver::Options PylonSource::DriverOptions() const {
  Log& log = path_.log;
  return {.multicast_interface_address = DottedToAddress(settings_.multicast_interface.get()),
          .ipv6_adapter = settings_.ipv6_adapter.get(),
          .report = [&log](std::string_view line) { log << line; },
          .files = settings_.files,
          .tapped_interface_back = settings_.tapped_interface_back};
}

void PylonSource::OpenDriver() {
  open_ = false;
  if (driver_.PylonOpen(DriverOptions()) < 0) {
    path_.log << "Cannot find \"Tessaro Pylon Driver\" on this system. Check if this driver "
                 "installed and active.\n";
    return;
  }
  // What a previous run signalled and nobody waited for is forgotten.
  port_event_.Reset();
  arp_event_.Reset();
  ipv6_event_.Reset();
  if (!driver_.PylonSetPortEvent(port_event_) || !driver_.PylonSetArpEvent(arp_event_) ||
      !driver_.PylonSetIpv6Event(ipv6_event_)) {
    path_.log << "Cannot set synchronization object with \"Tessaro Pylon Driver\"\n";
    return;
  }
  open_ = true;
  SetPylonFilters();
}

void PylonSource::SetPylonFilters() {
  if (path_.log.level() >= 3) path_.log << "Pylon filter setting...\n";
  const std::vector<LocalFilterAddress> locals = settings_.local_addresses();
  std::vector<uint32_t> sources = SourceFilterAddresses(settings_.source_filters);
  source_slots_ = WritePylonFilters(
      locals, sources,
      {.set_filter = [this](size_t slot, uint32_t a) { driver_.PylonSetFilter(slot, a); },
       .set_source_filter = [this](size_t slot,
                                   uint32_t a) { driver_.PylonSetSrcFilter(slot, a); }},
      source_slots_);
  driver_.PylonApplyFilters();
  std::lock_guard guard(source_filter_lock_);
  source_filter_ = std::move(sources);
  ++source_filter_version_;
}

void PylonSource::Launch() {
  if (!open_) return;
  const SourceSettings run = path_.settings();
  ipv6_thread_ = std::thread([this, run] { RunIpv6(run); });
  pthread_setname_np(ipv6_thread_.native_handle(), "pylon-ipv6");
  arp_thread_ = std::thread(
      [this, arp = ArpSettings{run.dvb, settings_.inserter.get(), OwnIpv4Addresses(),
                               SourceFilterAddresses(settings_.source_filters)}]() mutable {
        RunArp(std::move(arp));
      });
  pthread_setname_np(arp_thread_.native_handle(), "pylon-arp");
  port_thread_ = std::thread([this, run] { RunPort(run); });
  pthread_setname_np(port_thread_.native_handle(), "pylon-port");
  clock_.SleepFor(kSourceSettleTime);
}

void PylonSource::Wake() {
  ipv6_event_.Signal();
  arp_event_.Signal();
  port_event_.Signal();
}

void PylonSource::Close() {
  Join();
  driver_.PylonClose();
  open_ = false;
}

void PylonSource::Join() {
  if (ipv6_thread_.joinable()) ipv6_thread_.join();
  if (arp_thread_.joinable()) arp_thread_.join();
  if (port_thread_.joinable()) port_thread_.join();
}

const std::vector<PylonAdapterText>& PylonSource::ListPylonAdapters() {
  // The listing needs no capture: it never opens the tap on an adapter for it.
  std::call_once(adapters_listed_, [this] {
    const size_t count = driver_.PylonGetAdapterCount();
    for (size_t i = 0; i < count; ++i) {
      driver_.PylonSelectAdapter(static_cast<int32_t>(i));
      adapters_.push_back({driver_.PylonGetAdapterName(), MacText(driver_.PylonGetMacAddress())});
    }
    driver_.PylonSelectAdapter(settings_.ipv6_adapter.get());
    adapter_count_ = count;
  });
  return adapters_;
}

bool PylonSource::RefuseWrongLength(uint32_t length) {
  if (length <= kMaxPylonFrame) return false;
  path_.log << "Wrong Length --> Packet lost!\n";
  return true;
}

void PylonSource::RunPort(SourceSettings run) {
  RunLogged(path_.log, [&] {
    std::vector<uint8_t> slots(kDatagramBatch * kSlotRoom);
    bool full = false;
    for (;;) {
      // A full batch may have more behind it: those are read before the next wait.
      if (!full) port_event_.Wait();
      if (path_.running == 0) break;
      ReadPortBatch(slots, run);
      full = batch_.full();
      batch_.Deliver(path_.statistics, path_.output);
      std::lock_guard guard(oversized_lock_);
      oversized_.Tick(clock_.Now());
    }
  });
  std::lock_guard guard(oversized_lock_);
  oversized_.Flush(clock_.Now());
}

void PylonSource::ReadPortBatch(std::vector<uint8_t>& slots, const SourceSettings& run) {
  TableReader reader(path_.tables);
  const TableSnapshot& tables = reader.Current();
  for (size_t taken = 0; taken < kDatagramBatch && !batch_.full(); ++taken) {
    const std::span<uint8_t> slot(slots.data() + taken * kSlotRoom, kSlotRoom);
    uint32_t length = 0;
    if (!driver_.PylonGetPortFrame(slot.subspan(kQosHeaderSize), length)) break;
    if (RefuseWrongLength(length)) continue;
    HandlePortFrame(slot.first(kQosHeaderSize + length), tables, run);
  }
}

void PylonSource::HandlePortFrame(std::span<uint8_t> slot, const TableSnapshot& tables,
                                  const SourceSettings& run) {
  StatusCounters& counters = path_.counters;
  if (OverTrafficLimit(counters, run.traffic_control, run.traffic_limit)) return;
  const CorvidFrame result = DecodePylonPortFrame(slot, tables, run.dvb);
  const std::span<const uint8_t> frame = slot.subspan(kQosHeaderSize);
  if (result.outcome == CorvidOutcome::kTooShort || result.outcome == CorvidOutcome::kLowPort) {
    return;
  }
  Log& log = path_.log;
  const int level = log.level();
  counters.CountArrival(result.multicast);
  counters.CountResolution(result.outcome != CorvidOutcome::kUnresolvedPid);
  if (result.outcome == CorvidOutcome::kUnresolvedPid) {
    if (level >= 2) log << "Pylon. Can't define PID.\n" + PacketDump(frame, level);
    return;
  }
  if (result.outcome == CorvidOutcome::kUnresolvedMac) {
    if (level >= 2) log << "Pylon. Can't define MAC address.\n" + PacketDump(frame, level);
    return;
  }
  if (level >= 3) log << "Pylon. PID/MAC resolved.\n" + PacketDump(frame, level);
  PassOn(result, true);
  if (result.datagram.size() <= OutputQueue::kSlotSize || !path_.output.queue_in_use()) {
    batch_.Add(result.datagram);
  }
}

void PylonSource::PassOn(const CorvidFrame& result, bool statistics) {
  StatusCounters& counters = path_.counters;
  counters.external_active.store(true, std::memory_order_relaxed);
  counters.CountBytes(result.multicast, result.payload);
  counters.CountFrame(result.multicast);
  if (statistics) batch_.Count(result.destination, result.payload);
  if (result.datagram.size() <= OutputQueue::kSlotSize || !path_.output.queue_in_use()) return;
  const size_t frame_size = result.datagram.size() - kQosHeaderSize;
  counters.oversized_drops.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard guard(oversized_lock_);
  oversized_.Count(clock_.Now(), [frame_size] {
    return "Pylon. " + std::to_string(frame_size) + "-byte frame; ";
  });
}

void PylonSource::RunArp(ArpSettings run) {
  TableReader reader(path_.tables);
  std::array<uint8_t, kMaxPylonFrame> frame;
  bool reading = true;  // a failed read is logged once until a frame is read again
  for (;;) {
    if (!WaitForArpFrame()) continue;
    if (path_.running == 0) break;
    uint32_t length = 0;
    if (!driver_.PylonGetArpFrame(frame, length)) {
      if (reading) path_.log << "Cannot read Pylon Arp frame...\n";
      reading = false;
      continue;
    }
    reading = true;
    if (length > frame.size()) continue;
    path_.counters.arp_requests.fetch_add(1, std::memory_order_relaxed);
    RefreshAllowedSenders(run);
    AnswerArp({frame.data(), length}, reader.Current(), run);
    unknown_targets_.Tick(clock_.Now());
  }
  unknown_targets_.Flush(clock_.Now());
}

bool PylonSource::WaitForArpFrame() {
  const std::optional<Clock::TimePoint> due = unknown_targets_.due();
  if (!due) {
    arp_event_.Wait();
    return true;
  }
  // The count of requests without a row is logged when it is due, also when no frame follows.
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - clock_.Now());
  if (arp_event_.WaitAtMost(static_cast<int>(std::max<int64_t>(wait.count(), 0)))) return true;
  unknown_targets_.Tick(clock_.Now());
  return false;
}

void PylonSource::RefreshAllowedSenders(ArpSettings& run) {
  if (run.allowed_version == source_filter_version_) return;
  std::lock_guard guard(source_filter_lock_);
  run.allowed_senders = source_filter_;
  run.allowed_version = source_filter_version_;
}

void PylonSource::AnswerArp(std::span<uint8_t> frame, const TableSnapshot& tables,
                            ArpSettings& run) {
  const ArpOutcome outcome = AnswerArpRequest(frame,
                                              {.tables = tables,
                                               .dvb = run.dvb,
                                               .inserter = run.inserter,
                                               .allowed_senders = run.allowed_senders},
                                              run.own_addresses);
  const int level = path_.log.level();
  std::string line = ArpLogLine(outcome, frame, level);
  if (outcome == ArpOutcome::kNotFound && !line.empty()) {
    // In promiscuous mode every request of the network comes here: one line a second at most.
    line.back() = ';';
    unknown_targets_.Count(clock_.Now(), [&line] { return line + " "; });
  } else if (!line.empty()) {
    path_.log << line;
  }
  if (outcome != ArpOutcome::kAnswered) return;
  driver_.PylonPutPortFrame(frame);
  path_.counters.arp_answers.fetch_add(1, std::memory_order_relaxed);
}

void PylonSource::FillIpv6Addresses(bool dvb) {
  const size_t count = adapter_count_;
  for (size_t i = 0; i < count; ++i) {
    driver_.PylonSelectAdapter(static_cast<int32_t>(i));
    driver_.PylonResetIpv6Addresses();
  }
  driver_.PylonSelectAdapter(settings_.ipv6_adapter.get());
  TableReader reader(path_.tables);
  for (const Ipv6MacEntry& row : reader.Current().ipv6_mac_rows()) {
    driver_.PylonAddIpv6Address(row.address, dvb ? row.mac : kFixedMac);
  }
}

void PylonSource::RunIpv6(SourceSettings run) {
  FillIpv6Addresses(run.dvb);
  RunLogged(path_.log, [&] {
    TableReader reader(path_.tables);
    std::vector<uint8_t> slot(kSlotRoom);
    for (;;) {
      ipv6_event_.Wait();
      if (path_.running == 0) break;
      uint32_t length = 0;
      while (path_.running != 0 &&
             driver_.PylonGetIpv6Frame(std::span(slot).subspan(kQosHeaderSize), length)) {
        if (RefuseWrongLength(length)) continue;
        HandleIpv6Frame(std::span(slot).first(kQosHeaderSize + length), reader.Current(), run);
      }
    }
  });
}

void PylonSource::HandleIpv6Frame(std::span<uint8_t> slot, const TableSnapshot& tables,
                                  const SourceSettings& run) {
  StatusCounters& counters = path_.counters;
  if (OverTrafficLimit(counters, run.traffic_control, run.traffic_limit)) return;
  const PylonIpv6Frame result = DecodePylonIpv6Frame(slot, tables, run.dvb);
  if (result.outcome == CorvidOutcome::kTooShort) return;
  counters.CountArrival(result.multicast);
  counters.CountResolution(result.outcome == CorvidOutcome::kResolved);
  if (result.outcome != CorvidOutcome::kResolved) {
    if (path_.log.level() >= 2) path_.log << "Pylon. Can't define PID.\n";
    return;
  }
  PassOn(result, false);
  if (result.datagram.size() > OutputQueue::kSlotSize && path_.output.queue_in_use()) return;
  const std::span<const uint8_t> datagram = result.datagram;
  path_.output.HandOver({&datagram, 1});
}

}  // namespace velmora
