#pragma once

// The hand-over of finished datagrams to the sending thread, on one thread and without wake-ups:
// a source's batch into the statistics (counting on) and the output queue, then the sending
// thread's taking and releasing of it. For the benchmarks that time it; one thread uses it.

#include <atomic>

#include "bandwidth/bwc_controller.h"
#include "packet/output_queue.h"
#include "packet/packet_output.h"
#include "packet/source_batch.h"
#include "platform/file_system.h"
#include "stats/traffic_statistics.h"
#include "support/log.h"

namespace velmora::bench {

struct HandOverRig {
  HandOverRig() {
    statistics.SetFile("bench-stat.log");
    queue.Resume();
  }
  // What `batch` holds, to the queue and out of it again.
  void DeliverAndTake() {
    batch.Deliver(statistics, output);
    queue.Front();
    queue.Release();
  }

  MemoryFileSystem files;
  Log log;
  TrafficStatistics statistics{files, RealClock(), log, LocalFileTimeNow()};
  OutputQueue queue;
  TessaroBWControl::BWCController bandwidth{RealClock(), log};
  const std::atomic<bool> bandwidth_running{false};
  PacketOutput output{queue, bandwidth, bandwidth_running};
  SourceBatch batch;
};

}  // namespace velmora::bench
