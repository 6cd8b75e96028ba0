#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "packet/packet_path.h"
#include "packet/pylon_frame.h"
#include "packet/service_source.h"
#include "packet/source_batch.h"
#include "platform/driver_event.h"
#include "platform/pylon_driver.h"
#include "support/clock.h"
#include "support/loss_series.h"
#include "support/shared_value.h"

namespace velmora {

class FileSystem;
class SourceFilterList;

// One IPv4 address of this host for the tap's address filter: frames to a selected one are not
// tapped.
struct LocalFilterAddress {
  uint32_t address = 0;  // network order
  bool selected = true;
};

// Where the filter slots go: the driver's setters, or a test's recorder.
struct PylonFilterSetters {
  std::function<void(size_t slot, uint32_t address)> set_filter;
  std::function<void(size_t slot, uint32_t address)> set_source_filter;
};

// The number of address filter slots, and of source filter slots cleared when fewer are listed.
inline constexpr size_t kPylonFilterSlots = 4;

// Fills the filter slots: the selected local addresses in order into slots 0 to 3, the unused
// ones cleared; every source filter address into its own slot (even beyond 3), then the slots
// that none took cleared: up to 3, and up to the `source_slots_before` that the last filling
// used, so that no address of a longer earlier list stays admitted. Returns the source slots
// used now.
size_t WritePylonFilters(std::span<const LocalFilterAddress> locals,
                         std::span<const uint32_t> sources, const PylonFilterSetters& setters,
                         size_t source_slots_before = 0);

// One adapter as the IPv6 settings page shows it: its name and its MAC as "00-11-22-33-44-55".
struct PylonAdapterText {
  std::string name;
  std::string mac;
};

// The source of external traffic: the tap on a physical adapter hands over the IPv4, ARP and
// IPv6 frames that arrive there for the hosts behind the broadcast channel. Three threads do the
// work while the service runs: "pylon-port" resolves the IPv4 frames in batches, "pylon-arp"
// answers ARP requests for the IP/MAC rows, "pylon-ipv6" fills the IPv6 address list of the
// chosen adapter and resolves IPv6 frames. The control thread drives the service phases:
// OpenDriver opens the tap, registers the three events and sets the filters; Launch starts the
// threads (IPv6, ARP, port) and settles; Wake signals the events; Close joins the threads and
// closes the tap. SetPylonFilters and ListPylonAdapters are the control thread's too (the settings
// pages run there).
class PylonSource final : public ServiceSource {
 public:
  struct Settings {
    const SharedNumber<int32_t>& enable;           // `PylonEnable`
    const SharedText& multicast_interface;         // `MCastNIC`, dotted
    const SharedNumber<int32_t>& ipv6_adapter;     // `Ipv6Adapter`
    const SharedNumber<uint32_t>& inserter;        // `InserterIP`, network order
    std::string_view virtual_adapter_description;  // the virtual adapter's alias, never tapped
    const SourceFilterList& source_filters;        // [PYLONSRCFILTER]
    std::function<std::vector<LocalFilterAddress>()> local_addresses;  // with their flags
    FileSystem* files = nullptr;  // where the tap keeps its record of offloads turned off
    // Called on a source thread when the tapped interface came back after it had disappeared.
    std::function<void()> tapped_interface_back = [] {};
  };

  // `clock` paces the start and the rate-limited log lines.
  PylonSource(PacketPath& path, Settings settings, Clock& clock);
  ~PylonSource() override { Close(); }

  std::string_view name() const override { return "Pylon"; }
  bool Enabled() const override { return settings_.enable != 0; }
  void OpenDriver() override;
  void Launch() override;
  void Wake() override;
  void Close() override;
  void Join() override;

  // Passes the local addresses and the source filter list to the tap's slots and recompiles the
  // open captures' filters; harmless while the tap is closed.
  void SetPylonFilters();
  // The adapters the tap can be put on, listed the first time and kept for the process.
  const std::vector<PylonAdapterText>& ListPylonAdapters();

  // Whether the tap is open with its three events registered.
  bool open() const { return open_; }
  PylonDriver& driver() { return driver_; }

 private:
  // What the ARP thread answers with: fixed for a run but for this host's addresses, which it
  // reads again before each answer.
  struct ArpSettings {
    bool dvb = true;
    uint32_t inserter = 0;
    std::vector<uint32_t> own_addresses;
    std::vector<uint32_t> allowed_senders;
    uint64_t allowed_version = 0;  // of the source filter the senders were copied from
  };

  PylonDriver::Options DriverOptions() const;
  void RunPort(SourceSettings run);
  void ReadPortBatch(std::vector<uint8_t>& slots, const SourceSettings& run);
  void HandlePortFrame(std::span<uint8_t> slot, const TableSnapshot& tables,
                       const SourceSettings& run);
  // A frame refused for its length: logged and counted; false when the length is right.
  bool RefuseWrongLength(uint32_t length);
  void PassOn(const CorvidFrame& result, bool statistics);
  void RunArp(ArpSettings run);
  // Waits for the ARP event; false when it woke only to log the requests without a row.
  bool WaitForArpFrame();
  void AnswerArp(std::span<uint8_t> frame, const TableSnapshot& tables, ArpSettings& run);
  void RefreshAllowedSenders(ArpSettings& run);
  void RunIpv6(SourceSettings run);
  void FillIpv6Addresses(bool dvb);
  void HandleIpv6Frame(std::span<uint8_t> slot, const TableSnapshot& tables,
                       const SourceSettings& run);

  PacketPath& path_;
  Settings settings_;
  Clock& clock_;
  // The events outlive the driver, which watches and signals them.
  DriverEvent port_event_;
  DriverEvent arp_event_;
  DriverEvent ipv6_event_;
  PylonDriver driver_;
  bool open_ = false;        // control thread
  size_t source_slots_ = 0;  // control thread: the source filter slots the last setting used
  std::thread ipv6_thread_;
  std::thread arp_thread_;
  std::thread port_thread_;
  // The port thread's batch; the IPv6 thread hands over one frame at a time.
  SourceBatch batch_;
  // Frames too long for the output queue, from the port and IPv6 threads.
  std::mutex oversized_lock_;
  LossSeries oversized_;
  // The ARP thread's requests for hosts without a row.
  LossSeries unknown_targets_;
  // The source filter as last set, for the ARP thread: it copies the list when the version moves.
  std::mutex source_filter_lock_;
  std::vector<uint32_t> source_filter_;
  std::atomic<uint64_t> source_filter_version_{0};
  std::once_flag adapters_listed_;
  std::vector<PylonAdapterText> adapters_;
  // The adapters listed so far: none until the first listing, which the IPv6 thread may run beside.
  std::atomic<size_t> adapter_count_{0};
};

}  // namespace velmora
