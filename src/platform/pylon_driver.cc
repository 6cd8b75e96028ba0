#include "platform/pylon_driver.h"

#include <linux/filter.h>
#include <net/ethernet.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/socket.h>

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

// One capture handle and the lock that keeps its users apart: libpcap's handle state is not
// safe for concurrent use, and the filters are replaced while a source thread reads.
struct Capture {
  pcap_t* handle = nullptr;
  DriverEvent* event = nullptr;
  pcap_stat before_filter{};  // what it counted before its first filter
  std::mutex lock;
};

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
std::vector<PylonAdapter> TappableAdapters(std::string_view virtual_adapter_description) {
  std::vector<PylonAdapter> adapters;
  for (const NetworkLink& link : ListNetworkLinks().value_or(std::vector<NetworkLink>{})) {
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

// A live capture on `interface` as the tap needs it, or null with the reason reported.
pcap_t* OpenCapture(const std::string& interface, int ring_bytes,
                    const PylonDriver::Report& report) {
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_create(interface.c_str(), error);
  if (handle == nullptr) {
    report("Pylon. Cannot capture on " + interface + ": " + error + "\n");
    return nullptr;
  }
  // PCAP_D_IN keeps outgoing frames from user space; the inbound rule of the filters keeps them
  // out of the ring too.
  const bool ready = pcap_set_snaplen(handle, kPylonFrameRoom) == 0 &&
                     pcap_set_promisc(handle, 1) == 0 && pcap_set_immediate_mode(handle, 1) == 0 &&
                     pcap_set_buffer_size(handle, ring_bytes) == 0 && pcap_activate(handle) >= 0 &&
                     pcap_datalink(handle) == DLT_EN10MB &&
                     pcap_setdirection(handle, PCAP_D_IN) == 0 &&
                     pcap_setnonblock(handle, 1, error) == 0 && pcap_get_selectable_fd(handle) >= 0;
  if (!ready) {
    report("Pylon. Cannot capture on " + interface + ": " + pcap_geterr(handle) + error + "\n");
    pcap_close(handle);
    return nullptr;
  }
  return handle;
}

// Compiles `expression` and attaches it to the capture's socket straight, so that the kernel
// alone applies it: libpcap would run it in user space for frames it took meanwhile, where the
// inbound rule (the packet type, which only the kernel knows) refuses every frame.
bool SetFilter(Capture& capture, const std::string& expression) {
  std::lock_guard lock(capture.lock);
  if (capture.handle == nullptr) return true;
  bpf_program program{};
  if (pcap_compile(capture.handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    return false;
  }
  static_assert(sizeof(bpf_insn) == sizeof(sock_filter));
  const sock_fprog kernel_program{.len = static_cast<unsigned short>(program.bf_len),
                                  .filter = reinterpret_cast<sock_filter*>(program.bf_insns)};
  const bool set = ::setsockopt(pcap_get_selectable_fd(capture.handle), SOL_SOCKET,
                                SO_ATTACH_FILTER, &kernel_program, sizeof kernel_program) == 0;
  pcap_freecode(&program);
  return set;
}

// Discards what the capture took before its first filter was attached, and what it counted.
void ForgetUnfiltered(Capture& capture) {
  std::lock_guard lock(capture.lock);
  pcap_dispatch(
      capture.handle, -1, [](u_char*, const pcap_pkthdr*, const u_char*) {}, nullptr);
  pcap_stats(capture.handle, &capture.before_filter);
}

bool Watch(Capture& capture, DriverEvent& event) {
  std::lock_guard lock(capture.lock);
  if (capture.handle == nullptr || !event.valid()) return false;
  event.Watch(pcap_get_selectable_fd(capture.handle));
  capture.event = &event;
  return true;
}

// One frame of EtherType `type` from the capture into `buffer` (its start when it is longer),
// `length` its size; a frame the capture cut is reported as longer than the buffer. Frames of
// another type are passed over: the kernel's filter sees a VLAN-tagged frame by its inner type,
// but the capture hands it out with its tag, which would put every field 4 bytes off.
bool Take(Capture& capture, uint16_t type, std::span<uint8_t> buffer, uint32_t& length) {
  std::lock_guard lock(capture.lock);
  if (capture.handle == nullptr) return false;
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int taken = pcap_next_ex(capture.handle, &header, &data);
    if (taken < 0 && capture.event != nullptr) capture.event->Watch(-1);
    if (taken != 1) return false;
    if (header->caplen < 14 || (data[12] << 8 | data[13]) != type) continue;
    std::copy_n(data, std::min<size_t>(header->caplen, buffer.size()), buffer.begin());
    length = header->caplen == header->len
                 ? header->len
                 : std::max<uint32_t>(header->len, static_cast<uint32_t>(buffer.size()) + 1);
    return true;
  }
}

bool Inject(Capture& capture, std::span<const uint8_t> frame) {
  std::lock_guard lock(capture.lock);
  return capture.handle != nullptr &&
         pcap_inject(capture.handle, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

void Close(Capture& capture) {
  std::lock_guard lock(capture.lock);
  if (capture.handle != nullptr) pcap_close(capture.handle);
  if (capture.event != nullptr) capture.event->Watch(-1);
  capture.handle = nullptr;
  capture.event = nullptr;
}

}  // namespace

struct PylonDriver::State {
  const uint64_t serial = NextSerial();
  Report report = [](std::string_view) {};
  std::string virtual_adapter_description;
  std::array<Capture, 3> captures;  // by PylonFrameKind
  int handle = -1;
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

  Capture& capture(PylonFrameKind kind) { return captures[static_cast<size_t>(kind)]; }

  uint32_t SelectedAdapter() {
    const auto& selections = ThreadSelections();
    const auto found = selections.find(serial);
    return found != selections.end() ? found->second : default_adapter;
  }

  bool OpenCaptures(const PylonAdapter& tapped, const PylonAdapter& ipv6) {
    capture(PylonFrameKind::kPort).handle = OpenCapture(tapped.name, kPortRing, report);
    capture(PylonFrameKind::kArp).handle = OpenCapture(tapped.name, kArpRing, report);
    capture(PylonFrameKind::kIpv6).handle = OpenCapture(ipv6.name, kIpv6Ring, report);
    return std::all_of(captures.begin(), captures.end(),
                       [](const Capture& c) { return c.handle != nullptr; });
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

  // Answers the frame when it is a solicitation for a listed address: whether it did.
  bool Answer(std::span<const uint8_t> frame) {
    const auto solicitation = ReadNeighbourSolicitation(frame);
    if (!solicitation) return false;
    const auto mac = ListedMac(solicitation->target);
    if (!mac || IsOwnAddress(solicitation->target)) return false;
    Inject(capture(PylonFrameKind::kIpv6), AdvertiseNeighbour(*solicitation, *mac));
    return true;
  }
};

PylonDriver::PylonDriver() : state_(std::make_unique<State>()) {}

PylonDriver::~PylonDriver() {
  PylonClose();
}

int PylonDriver::PylonOpen(const Options& options) {
  PylonClose();
  State& s = *state_;
  s.report = options.report;
  s.virtual_adapter_description = options.virtual_adapter_description;
  std::vector<PylonAdapter> adapters = TappableAdapters(s.virtual_adapter_description);
  const PylonAdapter* tapped =
      FindAdapter(adapters, InterfaceHolding(options.multicast_interface_address));
  if (tapped == nullptr) return -1;
  const bool ipv6_listed =
      options.ipv6_adapter >= 0 && static_cast<size_t>(options.ipv6_adapter) < adapters.size();
  const PylonAdapter& ipv6 = ipv6_listed ? adapters[options.ipv6_adapter] : *tapped;
  if (!s.OpenCaptures(*tapped, ipv6) || !PylonApplyFilters()) {
    PylonClose();
    return -1;
  }
  for (Capture& capture : s.captures) ForgetUnfiltered(capture);
  s.merging_off.push_back(std::make_unique<ReceiveMergingGuard>(tapped->name, s.report));
  if (ipv6.index != tapped->index) {
    s.merging_off.push_back(std::make_unique<ReceiveMergingGuard>(ipv6.name, s.report));
  }
  s.handle = pcap_get_selectable_fd(s.capture(PylonFrameKind::kPort).handle);
  std::lock_guard guard(s.lock);
  s.ipv6_interface = ipv6.index;
  s.default_adapter = ipv6_listed ? ipv6.index : 0;
  s.adapters = std::move(adapters);
  return s.handle;
}

bool PylonDriver::PylonSetPortEvent(DriverEvent& event) {
  return Watch(state_->capture(PylonFrameKind::kPort), event);
}

bool PylonDriver::PylonSetArpEvent(DriverEvent& event) {
  return Watch(state_->capture(PylonFrameKind::kArp), event);
}

bool PylonDriver::PylonSetIpv6Event(DriverEvent& event) {
  return Watch(state_->capture(PylonFrameKind::kIpv6), event);
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
  const bool port = SetFilter(s.capture(PylonFrameKind::kPort), filters.ipv4);
  const bool arp = SetFilter(s.capture(PylonFrameKind::kArp), filters.arp);
  const bool ipv6 = SetFilter(s.capture(PylonFrameKind::kIpv6), filters.ipv6);
  return port && arp && ipv6;
}

bool PylonDriver::PylonGetPortFrame(std::span<uint8_t> buffer, uint32_t& length) {
  return Take(state_->capture(PylonFrameKind::kPort), ETHERTYPE_IP, buffer, length);
}

bool PylonDriver::PylonGetArpFrame(std::span<uint8_t> buffer, uint32_t& length) {
  return Take(state_->capture(PylonFrameKind::kArp), ETHERTYPE_ARP, buffer, length);
}

bool PylonDriver::PylonGetIpv6Frame(std::span<uint8_t> buffer, uint32_t& length) {
  while (Take(state_->capture(PylonFrameKind::kIpv6), ETHERTYPE_IPV6, buffer, length)) {
    if (length > buffer.size() || !state_->Answer(buffer.first(length))) return true;
  }
  return false;
}

bool PylonDriver::PylonPutPortFrame(std::span<const uint8_t> frame) {
  return Inject(state_->capture(PylonFrameKind::kPort), frame);
}

size_t PylonDriver::PylonGetAdapterCount() {
  // Listed outside the lock: the netlink dump may take a while.
  std::vector<PylonAdapter> adapters = TappableAdapters(state_->virtual_adapter_description);
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
  Capture& capture = state_->capture(kind);
  std::lock_guard lock(capture.lock);
  pcap_stat counts{};
  if (capture.handle == nullptr || pcap_stats(capture.handle, &counts) != 0) return std::nullopt;
  return PylonCaptureCounts{.received = counts.ps_recv - capture.before_filter.ps_recv,
                            .dropped = counts.ps_drop - capture.before_filter.ps_drop};
}

void PylonDriver::PylonClose() {
  State& s = *state_;
  for (Capture& capture : s.captures) Close(capture);
  s.merging_off.clear();
  s.handle = -1;
  std::lock_guard guard(s.lock);
  s.ipv6_interface = 0;
  s.address_lists.clear();
}

int PylonDriver::handle() const {
  return state_->handle;
}

}  // namespace velmora
