#include "platform/pylon_driver.h"

#include <net/ethernet.h>
#include <net/if_arp.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/local_addresses.h"
#include "platform/network_links.h"
#include "platform/pylon_filters.h"
#include "platform/receive_merging.h"
#include "platform/route_table.h"

namespace velmora {
namespace {

// Ring sizes of the captures: the IPv4 one carries the bulk of the traffic.
constexpr int kPortRing = 16 << 20;
constexpr int kArpRing = 2 << 20;
constexpr int kIpv6Ring = 8 << 20;

// An address of an adapter's IPv6 list and the MAC its advertisements carry.
struct ListedAddress {
  Ipv6Address address;
  EthernetAddress mac;
};

// The adapter each thread selected, per driver (by its serial number, which is never reused).
std::unordered_map<uint64_t, uint32_t>& ThreadSelections() {
  thread_local std::unordered_map<uint64_t, uint32_t> selections;
  return selections;
}

uint64_t NextSerial() {
  static std::atomic<uint64_t> serial{0};
  return ++serial;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The adapters the tap can be put on, in interface-index order.
std::vector<PylonAdapter> TappableAdapters(const std::vector<NetworkLink>& links,
                                           std::string_view virtual_adapter_description) {
  std::vector<PylonAdapter> adapters;
  for (const NetworkLink& link : links) {
    if (link.loopback || link.hardware_type != ARPHRD_ETHER || link.hardware_address.size() != 6 ||
        (!virtual_adapter_description.empty() &&
         Contains(link.alias, virtual_adapter_description))) {
      continue;
    }
    PylonAdapter adapter{.index = link.index, .name = link.name};
    std::copy_n(link.hardware_address.begin(), 6, adapter.mac.begin());
    adapters.push_back(std::move(adapter));
  }
  std::sort(adapters.begin(), adapters.end(),
            [](const PylonAdapter& a, const PylonAdapter& b) { return a.index < b.index; });
  return adapters;
}

// The index of the interface that holds the IPv4 `address`; 0 when none does.
uint32_t InterfaceHolding(uint32_t address) {
  RouteTable table;
  for (const InterfaceAddress& held :
       table.ListAddresses().value_or(std::vector<InterfaceAddress>{})) {
    if (held.address == address) return held.interface_index;
  }
  return 0;
}

const PylonAdapter* FindAdapter(const std::vector<PylonAdapter>& adapters, uint32_t index) {
  const auto found = std::find_if(adapters.begin(), adapters.end(),
                                  [&](const PylonAdapter& a) { return a.index == index; });
  return found == adapters.end() ? nullptr : &*found;
}

bool IsOwnAddress(const Ipv6Address& address) {
  const std::vector<Ipv6Address> own = LocalIpv6Addresses();
  return std::find(own.begin(), own.end(), address) != own.end();
}

// How the reports name the frames of each kind.
constexpr std::array<std::string_view, 3> kKindNames = {"IPv4", "ARP", "IPv6"};
// The solicitations that one call for an IPv6 frame answers at most before it returns, so that a
// stream of them never keeps the caller from its stop.
constexpr int kAnswersPerCall = 64;

}  // namespace

struct PylonDriver::State {
  const uint64_t serial = NextSerial();
  Report report = [](std::string_view) {};
  std::string virtual_adapter_description;  // set at construction
  std::array<PylonCapture, 3> captures;     // by PylonFrameKind
  int handle = -1;
  // The offloads turned off, and their record: a reader that reopens a capture adds to them.
  std::mutex merging_lock;
  std::unique_ptr<MergingRecord> merging_record;
  std::vector<std::unique_ptr<ReceiveMergingGuard>> merging_off;

  // The adapter list, the default selection, the address lists, the IPv6 capture's interface and
  // the filter slots; the IPv6 reader looks the lists up while the control thread changes them.
  std::mutex lock;
  uint32_t ipv6_interface = 0;  // where the IPv6 capture runs
  std::vector<PylonAdapter> adapters;
  uint32_t default_adapter = 0;  // `Ipv6Adapter`'s interface; 0 when out of range
  std::map<uint32_t, std::vector<ListedAddress>> address_lists;
  std::map<size_t, uint32_t> local_slots;  // by slot index
  std::map<size_t, uint32_t> source_slots;

  PylonCapture& capture(PylonFrameKind kind) { return captures[static_cast<size_t>(kind)]; }

  uint32_t SelectedAdapter() {
    const auto& selections = ThreadSelections();
    const auto found = selections.find(serial);
    return found != selections.end() ? found->second : default_adapter;
  }

  bool OpenCaptures(const PylonAdapter& tapped, const PylonAdapter& ipv6,
                    const std::function<void()>& tapped_back) {
    constexpr std::array<int, 3> kRings = {kPortRing, kArpRing, kIpv6Ring};
    bool opened = true;
    for (size_t kind = 0; kind < captures.size(); ++kind) {
      const bool port = kind == static_cast<size_t>(PylonFrameKind::kPort);
      const std::string& name =
          kind == static_cast<size_t>(PylonFrameKind::kIpv6) ? ipv6.name : tapped.name;
      const auto reopened = [this, name, port, tapped_back] {
        TurnOffMerging(ListNetworkLinks().value_or(std::vector<NetworkLink>{}), {name});
        if (port) tapped_back();
      };
      opened =
          captures[kind].Open(name, kKindNames[kind], kRings[kind], report, reopened) && opened;
    }
    return opened;
  }

  // Receive merging off on the interfaces named and every interface that feeds one of them; one
  // that is off already (a guard has it) is left as it is.
  void TurnOffMerging(const std::vector<NetworkLink>& links,
                      const std::vector<std::string>& captured) {
    std::vector<std::string> names;
    for (const NetworkLink& link : links) {
      if (std::find(captured.begin(), captured.end(), link.name) == captured.end()) continue;
      for (const std::string& name : ReceivingInterfaces(links, link.index)) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
      }
    }
    std::lock_guard guard(merging_lock);
    for (const std::string& name : names) {
      merging_off.push_back(
          std::make_unique<ReceiveMergingGuard>(name, report, merging_record.get()));
    }
  }

  // The listed MAC for a solicited address of the IPv6 capture's adapter; none for the others.
  std::optional<EthernetAddress> ListedMac(const Ipv6Address& address) {
    std::lock_guard guard(lock);
    const auto list = address_lists.find(ipv6_interface);
    if (list == address_lists.end()) return std::nullopt;
    for (const ListedAddress& listed : list->second) {
      if (listed.address == address) return listed.mac;
    }
    return std::nullopt;
  }

  // Answers the frame when it is a solicitation for a listed address that is not one of this
  // host's `own` (read at the first such solicitation of the call): whether it did.
  bool Answer(std::span<const uint8_t> frame, std::optional<std::vector<Ipv6Address>>& own) {
    const auto solicitation = ReadNeighbourSolicitation(frame);
    if (!solicitation) return false;
    const auto mac = ListedMac(solicitation->target);
    if (!mac) return false;
    if (!own) own = LocalIpv6Addresses();
    if (std::find(own->begin(), own->end(), solicitation->target) != own->end()) return false;
    capture(PylonFrameKind::kIpv6).Inject(AdvertiseNeighbour(*solicitation, *mac));
    return true;
  }
};

PylonDriver::PylonDriver(std::string virtual_adapter_description)
    : state_(std::make_unique<State>()) {
  state_->virtual_adapter_description = std::move(virtual_adapter_description);
}

PylonDriver::~PylonDriver() {
  PylonClose();
}

int PylonDriver::PylonOpen(const Options& options) {
  PylonClose();
  State& s = *state_;
  s.report = options.report;
  const std::vector<NetworkLink> links = ListNetworkLinks().value_or(std::vector<NetworkLink>{});
  std::vector<PylonAdapter> adapters = TappableAdapters(links, s.virtual_adapter_description);
  const PylonAdapter* tapped =
      FindAdapter(adapters, InterfaceHolding(options.multicast_interface_address));
  if (tapped == nullptr) return -1;
  const bool ipv6_listed =
      options.ipv6_adapter >= 0 && static_cast<size_t>(options.ipv6_adapter) < adapters.size();
  const PylonAdapter& ipv6 = ipv6_listed ? adapters[options.ipv6_adapter] : *tapped;
  // Merging goes off first, so that no merged frame reaches the captures.
  if (options.files != nullptr) {
    s.merging_record =
        std::make_unique<MergingRecord>(*options.files, kMergingStateFile, options.report);
  }
  s.TurnOffMerging(links, {tapped->name, ipv6.name});
  if (!s.OpenCaptures(*tapped, ipv6, options.tapped_interface_back) || !PylonApplyFilters()) {
    PylonClose();
    return -1;
  }
  for (PylonCapture& capture : s.captures) capture.ForgetUnfiltered();
  s.handle = s.capture(PylonFrameKind::kPort).descriptor();
  std::lock_guard guard(s.lock);
  s.ipv6_interface = ipv6.index;
  s.default_adapter = ipv6_listed ? ipv6.index : 0;
  s.adapters = std::move(adapters);
  return s.handle;
}

bool PylonDriver::PylonSetPortEvent(DriverEvent& event) {
  return state_->capture(PylonFrameKind::kPort).Watch(event);
}

bool PylonDriver::PylonSetArpEvent(DriverEvent& event) {
  return state_->capture(PylonFrameKind::kArp).Watch(event);
}

bool PylonDriver::PylonSetIpv6Event(DriverEvent& event) {
  return state_->capture(PylonFrameKind::kIpv6).Watch(event);
}

namespace {

// The addresses of the slots in slot order.
std::vector<uint32_t> SlotAddresses(const std::map<size_t, uint32_t>& slots) {
  std::vector<uint32_t> addresses;
  for (const auto& [slot, address] : slots) addresses.push_back(address);
  return addresses;
}

}  // namespace

void PylonDriver::PylonSetFilter(size_t slot, uint32_t address) {
  std::lock_guard guard(state_->lock);
  state_->local_slots[slot] = address;
}

void PylonDriver::PylonSetSrcFilter(size_t slot, uint32_t address) {
  std::lock_guard guard(state_->lock);
  state_->source_slots[slot] = address;
}

bool PylonDriver::PylonApplyFilters() {
  State& s = *state_;
  PylonCaptureFilters filters;
  {
    std::lock_guard guard(s.lock);
    filters = BuildPylonCaptureFilters(SlotAddresses(s.local_slots), SlotAddresses(s.source_slots));
  }
  const bool port = s.capture(PylonFrameKind::kPort).SetFilter(filters.ipv4);
  const bool arp = s.capture(PylonFrameKind::kArp).SetFilter(filters.arp);
  const bool ipv6 = s.capture(PylonFrameKind::kIpv6).SetFilter(filters.ipv6);
  return port && arp && ipv6;
}

bool PylonDriver::PylonGetPortFrame(std::span<uint8_t> buffer, uint32_t& length) {
  return state_->capture(PylonFrameKind::kPort).Take(ETHERTYPE_IP, buffer, length);
}

bool PylonDriver::PylonGetArpFrame(std::span<uint8_t> buffer, uint32_t& length) {
  return state_->capture(PylonFrameKind::kArp).Take(ETHERTYPE_ARP, buffer, length);
}

bool PylonDriver::PylonGetIpv6Frame(std::span<uint8_t> buffer, uint32_t& length) {
  PylonCapture& capture = state_->capture(PylonFrameKind::kIpv6);
  std::optional<std::vector<Ipv6Address>> own;
  for (int answered = 0; answered < kAnswersPerCall; ++answered) {
    if (!capture.Take(ETHERTYPE_IPV6, buffer, length)) return false;
    if (length > buffer.size() || !state_->Answer(buffer.first(length), own)) return true;
  }
  return false;
}

bool PylonDriver::PylonPutPortFrame(std::span<const uint8_t> frame) {
  return state_->capture(PylonFrameKind::kPort).Inject(frame);
}

size_t PylonDriver::PylonGetAdapterCount() {
  // Listed outside the lock: the netlink dump may take a while.
  std::vector<PylonAdapter> adapters = TappableAdapters(
      ListNetworkLinks().value_or(std::vector<NetworkLink>{}), state_->virtual_adapter_description);
  std::lock_guard guard(state_->lock);
  state_->adapters = std::move(adapters);
  return state_->adapters.size();
}

bool PylonDriver::PylonSelectAdapter(int32_t index) {
  State& s = *state_;
  std::lock_guard guard(s.lock);
  if (index < 0 || static_cast<size_t>(index) >= s.adapters.size()) {
    ThreadSelections().erase(s.serial);
    return false;
  }
  ThreadSelections()[s.serial] = s.adapters[static_cast<size_t>(index)].index;
  return true;
}

std::string PylonDriver::PylonGetAdapterName() {
  std::lock_guard guard(state_->lock);
  const PylonAdapter* adapter = FindAdapter(state_->adapters, state_->SelectedAdapter());
  return adapter != nullptr ? adapter->name : std::string();
}

EthernetAddress PylonDriver::PylonGetMacAddress() {
  std::lock_guard guard(state_->lock);
  const PylonAdapter* adapter = FindAdapter(state_->adapters, state_->SelectedAdapter());
  return adapter != nullptr ? adapter->mac : EthernetAddress{};
}

void PylonDriver::PylonResetIpv6Addresses() {
  std::lock_guard guard(state_->lock);
  state_->address_lists.erase(state_->SelectedAdapter());
}

bool PylonDriver::PylonAddIpv6Address(const Ipv6Address& address, const EthernetAddress& mac) {
  const bool unfit = address[0] == 0xFF || address == Ipv6Address{} || IsOwnAddress(address);
  State& s = *state_;
  std::lock_guard guard(s.lock);
  const uint32_t adapter = s.SelectedAdapter();
  // Nothing answers for a list while no IPv6 capture runs.
  if (unfit || adapter == 0 || s.ipv6_interface == 0) return false;
  std::vector<ListedAddress>& list = s.address_lists[adapter];
  const auto listed = std::find_if(list.begin(), list.end(),
                                   [&](const ListedAddress& a) { return a.address == address; });
  if (listed != list.end()) {
    listed->mac = mac;
  } else {
    list.push_back({address, mac});
  }
  return true;
}

std::optional<PylonCaptureCounts> PylonDriver::PylonCounts(PylonFrameKind kind) {
  return state_->capture(kind).Counts();
}

void PylonDriver::PylonClose() {
  State& s = *state_;
  for (PylonCapture& capture : s.captures) capture.Close();
  {
    std::lock_guard guard(s.merging_lock);
    s.merging_off.clear();
    s.merging_record.reset();
  }
  s.handle = -1;
  std::lock_guard guard(s.lock);
  s.ipv6_interface = 0;
  s.address_lists.clear();
}

int PylonDriver::handle() const {
  return state_->handle >= 0 ? state_->capture(PylonFrameKind::kPort).descriptor() : -1;
}

}  // namespace velmora
