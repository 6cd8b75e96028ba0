#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "packet/corvid_frame.h"
#include "packet/packet_path.h"
#include "packet/service_source.h"
#include "packet/source_batch.h"
#include "platform/corvid_driver.h"
#include "platform/driver_event.h"
#include "support/clock.h"
#include "support/loss_series.h"
#include "support/shared_value.h"

namespace velmora {

class AdapterRoutes;

// The source of routed traffic: the system routes the configured subnets into the virtual
// adapter, whose frames this source resolves and hands to the inserter, and whose ARP requests it
// answers for the hosts behind the broadcast channel. Two threads do the work while the service
// runs: "corvid-frame" reads the frames (and so also the ARP frames, which the driver sets apart)
// in batches, "corvid-arp" answers the ARP frames one by one. The control thread drives the
// service phases: OpenDriver attaches the driver and registers both events; Launch probes the
// adapter (which sets the routes) and starts the ARP thread, then the frame thread; Wake signals
// both events; Close joins the threads, closes the driver and removes the routes.
class CorvidSource final : public ServiceSource {
 public:
  struct Settings {
    const SharedNumber<int32_t>& enable;     // `CorvidEnable`
    const SharedNumber<uint32_t>& inserter;  // `InserterIP`, network order
    std::string_view description;            // the adapter's alias, `CorvidName`
  };

  // `routes` probes the adapter and removes its routes; `clock` paces the start and the log of
  // frames too long for the output queue.
  CorvidSource(PacketPath& path, AdapterRoutes& routes, Settings settings, Clock& clock);
  ~CorvidSource() override { Close(); }

  std::string_view name() const override { return "Corvid"; }
  bool Enabled() const override { return settings_.enable != 0; }
  void OpenDriver() override;
  void Launch() override;
  void Wake() override;
  void Close() override;
  void Join() override;

  // Whether the driver is open with both events registered and the adapter was found.
  bool open() const { return open_; }
  const CorvidDriver& driver() const { return driver_; }

 private:
  // What the ARP thread answers with: fixed for a run but for this host's addresses, which it
  // reads again before each answer.
  struct ArpSettings {
    bool dvb = true;
    uint32_t inserter = 0;
    std::vector<uint32_t> own_addresses;
  };

  void RunFrames(SourceSettings run);
  void HandleFrame(std::span<uint8_t> slot, const TableSnapshot& tables, const SourceSettings& run);
  // A frame refused before its PID was looked up; false when it is not refused.
  bool RefuseBadSize(const CorvidFrame& result, std::span<const uint8_t> frame, int level);
  // A resolved frame: counted, then added to the batch unless the output queue cannot hold it.
  void PassOn(const CorvidFrame& result);
  void RunArp(ArpSettings run);
  void AnswerArp(std::span<uint8_t> frame, const TableSnapshot& tables, ArpSettings& run);

  PacketPath& path_;
  AdapterRoutes& routes_;
  Settings settings_;
  Clock& clock_;
  // The events outlive the driver, which watches and signals them.
  DriverEvent frame_event_;
  DriverEvent arp_event_;
  CorvidDriver driver_;
  bool open_ = false;    // control thread
  bool probed_ = false;  // control thread: the probe ran in this run
  std::thread arp_thread_;
  std::thread frame_thread_;
  // The frame thread's: the batch for the output and the frames too long for the output queue.
  SourceBatch batch_;
  LossSeries oversized_;
};

}  // namespace velmora
