#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/address_text.h"
#include "platform/driver_event.h"
#include "platform/neighbour_discovery.h"
#include "platform/pylon_capture.h"
#include "platform/receive_merging.h"

namespace velmora {

class FileSystem;

// The kinds of frame the tap keeps apart, each on a capture of its own.
enum class PylonFrameKind { kPort, kArp, kIpv6 };

// One adapter the tap can be put on: a non-loopback Ethernet interface of the system that is not
// the virtual adapter.
struct PylonAdapter {
  uint32_t index = 0;  // the interface index
  std::string name;
  EthernetAddress mac{};
};

// The tap on a physical adapter: libpcap capture handles on the interface that holds the
// multicast address (`MCastNIC`), one for IPv4 and one for ARP, and one for IPv6 on the adapter
// `Ipv6Adapter` selects. Each is inbound only (frames this host sends, the injected ones among
// them, are never taken), promiscuous while open, delivers at once and never blocks; its
// selectable descriptor is what the kind's event watches. The address filters and source
// filters, the inbound rule and the shortest frame of each kind (ARP 42, IPv4 38, IPv6 54 bytes)
// are compiled into the capture filters, so the kernel refuses those frames before user space.
// Frames are put back by injection on the tapped interface. GRO and LRO, which would merge
// received TCP segments into frames far longer than a source can carry, are off while the tap is
// open on the captured interfaces and on those that receive their frames first (the device under
// a VLAN, the ports of a bridge or bond), and restored at close; a record file lists them while
// they are off, so that a start after a kill can restore them (RestoreRecordedMerging). A capture
// whose interface disappears is opened again when it is back (PylonCapture).
//
// The IPv6 address list of an adapter makes the driver answer neighbour solicitations for those
// addresses that arrive on the IPv6 capture with an advertisement for the list's MAC; answered
// solicitations are not handed out. No address is ever added to the kernel, and the host's own
// addresses are never answered for.
//
// Threads: the control thread opens, registers the events, sets and applies the filters and
// closes (after the source threads have ended); each source thread takes frames of its kind, and
// any thread may put frames and read the counts meanwhile (every capture has its own lock).
// Adapter selection belongs to the calling thread: a thread that selected none, or whose last
// selection was out of range, acts on `Ipv6Adapter`'s adapter.
class PylonDriver {
 public:
  // Receives a line for the log (ending in "\n") about a change the driver made to an interface.
  using Report = std::function<void(std::string_view line)>;
  struct Options {
    uint32_t multicast_interface_address = 0;  // `MCastNIC`, network order
    int32_t ipv6_adapter = 0;                  // `Ipv6Adapter`
    Report report = [](std::string_view) {};
    FileSystem* files = nullptr;  // where the merging record (kMergingStateFile) is kept
    // Called on a reader thread when the tapped interface came back and its capture was opened
    // again: the interface is a new one, without the memberships made on the old.
    std::function<void()> tapped_interface_back = [] {};
  };

  // `virtual_adapter_description`: the alias of the virtual adapter, never tapped nor listed.
  explicit PylonDriver(std::string virtual_adapter_description = {});
  ~PylonDriver();
  PylonDriver(const PylonDriver&) = delete;
  PylonDriver& operator=(const PylonDriver&) = delete;

  // Opens the captures: a handle (>= 0), or -1 when `MCastNIC` is on no adapter of the list or a
  // capture cannot be opened. IPv6 is captured on the tapped interface when `Ipv6Adapter` is out
  // of the list's range.
  int PylonOpen(const Options& options);
  // Each false when the driver is not open or the event is invalid.
  bool PylonSetPortEvent(DriverEvent& event);
  bool PylonSetArpEvent(DriverEvent& event);
  bool PylonSetIpv6Event(DriverEvent& event);
  // Address filter slot (frames to that local address are not tapped) and source filter slot
  // (when any is set, only IPv4 and ARP from those hosts are tapped); 0 clears a slot. Any slot
  // index is accepted. They take effect at PylonApplyFilters.
  void PylonSetFilter(size_t slot, uint32_t address);
  void PylonSetSrcFilter(size_t slot, uint32_t address);
  // Compiles the filters into the open captures; false when one refused them (it keeps its last).
  bool PylonApplyFilters();
  // One frame of the kind into `buffer`: true with `length` set to the frame's size when one was
  // taken. A length above kPylonFrameRoom or buffer.size() means that only its start was copied:
  // such a frame is to be dropped as too long, never passed on cut. False when none waits, while
  // the interface is away (its event then wakes the thread every second, whose call opens the
  // capture again once the interface is back), and after a round of frames passed over: 64 of
  // other types, or for IPv6 64 answered solicitations.
  bool PylonGetPortFrame(std::span<uint8_t> buffer, uint32_t& length);
  bool PylonGetArpFrame(std::span<uint8_t> buffer, uint32_t& length);
  bool PylonGetIpv6Frame(std::span<uint8_t> buffer, uint32_t& length);
  // Sends `frame` out on the tapped interface; false when it was refused.
  bool PylonPutPortFrame(std::span<const uint8_t> frame);
  // The adapters that can be tapped (listed again by this call, without the virtual adapter), and
  // the calling thread's selection among them: false for an index out of range.
  size_t PylonGetAdapterCount();
  bool PylonSelectAdapter(int32_t index);
  // The selected adapter's name and MAC; empty and zero when there is none.
  std::string PylonGetAdapterName();
  EthernetAddress PylonGetMacAddress();
  // The selected adapter's IPv6 address list. An address is added with the MAC its
  // advertisements carry; false when no adapter is selected, for a multicast or unspecified
  // address, or for one of this host's own.
  void PylonResetIpv6Addresses();
  bool PylonAddIpv6Address(const Ipv6Address& address, const EthernetAddress& mac);
  // The capture's counts; none while it is not open.
  std::optional<PylonCaptureCounts> PylonCounts(PylonFrameKind kind);
  // Closes every capture, restores the interfaces' offloads and forgets the address lists; the
  // handle is invalid afterwards. The events stay the caller's.
  void PylonClose();
  // The IPv4 capture's descriptor now: -1 while the tap is closed or the interface is away.
  int handle() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora
