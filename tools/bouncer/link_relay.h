#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bouncer/link_config.h"
#include "platform/datagram_batch.h"

namespace velmora {

// The largest inserter datagram; a payload whose datagram would be longer is dropped, never cut.
inline constexpr size_t kMaxInserterDatagram = 4096;
// QoS header, MAC header, IPv4 header and UDP header in front of a wrapped payload.
inline constexpr size_t kWrappingSize = 8 + 14 + 20 + 8;

// Builds the inserter datagram of one payload of `link` that came from `source`:`source_port`
// into `out` (cleared first): QoS header with the destination, the link's PID and MAC, and an
// IPv4/UDP packet to the destination with checksums. False, `out` empty, when it would exceed
// kMaxInserterDatagram.
bool WrapForInserter(const BouncerLink& link, uint32_t source, uint16_t source_port,
                     uint16_t identification, std::span<const uint8_t> payload,
                     std::vector<uint8_t>& out);

// One link of the bouncer: its receiving socket and the socket it repeats from. Owned by the
// bouncer's main thread, which runs Run on a thread of the link's own and calls Stop to end it.
class LinkRelay {
 public:
  using Logger = std::function<void(const std::string&)>;

  // Opens the link's sockets; null, with `problem` set, when the port cannot be bound or the
  // group cannot be joined.
  static std::unique_ptr<LinkRelay> Open(const BouncerLink& link, Logger log, std::string& problem);
  ~LinkRelay();
  LinkRelay(const LinkRelay&) = delete;
  LinkRelay& operator=(const LinkRelay&) = delete;

  // Repeats the stream, a batch of what waits at a time, until Stop.
  void Run();
  // Makes Run return; any thread may call it.
  void Stop();
  // One line for the start-up log: where the stream comes from and where it goes.
  std::string Describe() const;
  uint64_t repeated() const { return repeated_; }
  uint64_t dropped() const { return dropped_; }

 private:
  LinkRelay(const BouncerLink& link, Logger log, int receive_fd, int send_fd);
  // Waits for a batch and sends what it repeats.
  void RepeatBatch();
  // Points the next outgoing message at what repeats received datagram `i`; false when dropped.
  bool Prepare(size_t i, size_t outgoing);
  // Sends the first `count` outgoing messages; one that cannot be sent is dropped alone.
  void Send(size_t count);
  // Logs a failed send at most once a second, with the number of failures since the last line.
  void ReportSendFailure(int error);

  BouncerLink link_;
  Logger log_;
  int receive_fd_;
  int send_fd_;
  sockaddr_in to_;
  DatagramBatch received_;
  std::vector<std::vector<uint8_t>> wrapped_;  // one inserter datagram per outgoing message
  std::vector<mmsghdr> outgoing_;
  std::vector<iovec> vectors_;
  uint16_t identification_ = 0;
  std::atomic<bool> stopping_{false};
  uint64_t repeated_ = 0;
  uint64_t dropped_ = 0;
  uint64_t unreported_send_failures_ = 0;
  std::chrono::steady_clock::time_point next_send_report_{};
};

}  // namespace velmora
