#pragma once

#include <cstdint>

#include "packet/sending_thread.h"
#include "packet/service_source.h"
#include "platform/address_text.h"
#include "testing/packet_path_rig.h"

namespace velmora::testing {

// One source of a PacketPathRig run as the service runs it, with the sending thread delivering
// to a UDP receiver on loopback that stands for the inserter. The test's thread calls Start and
// Stop as the control thread would.
class SourceRun {
 public:
  SourceRun(PacketPathRig& rig, ServiceSource& source, uint16_t inserter_port)
      : rig_(rig),
        source_(source),
        sending_(
            rig.queue, rig.log, RealClock(), rig.running,
            [inserter_port] {
              return InserterAddress{DottedToAddress("127.0.0.1"), inserter_port};
            },
            [] { return true; }) {}
  ~SourceRun() { Stop(); }

  void Start() {
    rig_.running = 1;
    source_.OpenDriver();
    sending_.Launch();
    source_.Launch();
  }
  // As the service stop: the flag, the wake-ups, then the closing and joining.
  void Stop() {
    if (rig_.running == 0) return;
    rig_.running = 0;
    source_.Wake();
    sending_.Wake();
    source_.Close();
    sending_.Join();
    source_.Join();
  }

 private:
  PacketPathRig& rig_;
  ServiceSource& source_;
  SendingThread sending_;
};

}  // namespace velmora::testing
