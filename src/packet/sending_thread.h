#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

#include "packet/output_queue.h"
#include "packet/service_source.h"
#include "support/clock.h"
#include "support/loss_series.h"
#include "support/shared_value.h"

namespace velmora {

class Log;
class UdpSocket;

// Where the sending thread delivers: the inserter's address (network order) and port.
struct InserterAddress {
  uint32_t address = 0;
  uint16_t port = 0;
};

// The thread that takes what waits in the output queue and sends it to the data inserter over a
// connected UDP socket, all of it in one call where the system takes it. A refused or dropped send
// (the inserter not listening yet, a busy host) is logged at most once a second with the count
// dropped meanwhile; the last count of a series is logged a second after the line before it (also
// while the queue never empties), or at the stop, so that the counts logged add up to all that was
// dropped. Traffic flows again as soon as the inserter is back; only a socket that is itself
// unusable ends the thread. Launched by the service start while bandwidth management does not run;
// the control thread drives it.
class SendingThread final : public ServiceSource {
 public:
  SendingThread(OutputQueue& queue, Log& log, Clock& clock, const SharedNumber<int32_t>& running,
                std::function<InserterAddress()> inserter, std::function<bool()> enabled);
  ~SendingThread() override { Join(); }

  std::string_view name() const override { return "Sending"; }
  bool Enabled() const override { return enabled_(); }
  void Launch() override;
  void Wake() override;
  void Join() override;

 private:
  void Run(InserterAddress inserter);
  // What waits in the queue, after logging the drops that are due; while drops wait to be
  // logged, none also when they fall due.
  OutputQueue::Datagrams Next();
  void Trace(OutputQueue::Datagrams datagrams);
  // Sends the datagrams in order, counting each one that fails; false when the stop closed the
  // socket under them.
  bool Send(UdpSocket& socket, OutputQueue::Datagrams datagrams);
  // Whether a send failed within the last second. The system reports a refusal of the inserter
  // only to a send of one datagram that meets it, so meanwhile datagrams go one a call and each
  // refusal is counted as it was met.
  bool Refusing() const;
  // A send that failed with `code`; throws for a socket that cannot be used any more.
  void SendFailed(int32_t code);

  OutputQueue& queue_;
  Log& log_;
  Clock& clock_;
  const SharedNumber<int32_t>& running_;
  std::function<InserterAddress()> inserter_;
  std::function<bool()> enabled_;
  std::thread thread_;
  LossSeries dropped_;
  std::optional<Clock::TimePoint> last_failure_;
};

}  // namespace velmora
