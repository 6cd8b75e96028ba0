// Throughput of the bouncer program: a paced sender -> relay -> a receiver, all on loopback. The
// relay is the real bouncer with one link that wraps each payload for the inserter (the keys the
// router writes), or a minimal relay written here that does the same wrapping (one process, one
// thread, recvmmsg/sendmmsg in batches of 64, the receive buffer the bouncer asks for). For each
// payload size, the highest offered rate that arrives complete and in order over the full trial
// time is found, best of the runs; loss and order are judged at the receiver by the sequence
// number at the end of each datagram. Printed: each rate, the ratio bouncer / minimal relay
// against its target, and each relay's CPU time (user + system) per datagram over its final
// full-length trial.
//
// usage: bouncer_bench [--seconds S] [--runs N] [--sizes 100,1400]
//        (defaults: 10 s, 3 runs, 100 and 1400 bytes of payload)

#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bouncer/link_relay.h"
#include "throughput_trial.h"

namespace velmora::bench {
namespace {

constexpr const char* kUsage = "bouncer_bench [--seconds S] [--runs N] [--sizes 100,1400]";

// The link both relays serve: to 10.0.0.5:7000 with PID 0x0120 and its MAC, through the inserter
// that the receiver stands for.
BouncerLink WrappingLink(uint16_t receive_port, uint16_t receiver_port) {
  BouncerLink link;
  link.number = 1;
  link.receive_bind_ip = htonl(INADDR_LOOPBACK);
  link.receive_port = receive_port;
  link.destination_ip = htonl(0x0a000005);
  link.destination_port = 7000;
  link.add_qos_headers = true;
  link.destination_mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  link.stream_pid = 0x0120;
  link.send_ip = htonl(INADDR_LOOPBACK);
  link.send_port = receiver_port;
  return link;
}

std::string BouncerIni(const BouncerLink& link) {
  return "[main]\nlinks = 1\n[1]\nactive = true\nreceive_bind_ip = 127.0.0.1\nreceive_port = " +
         std::to_string(link.receive_port) +
         "\nDestinationIP = 10.0.0.5\nDestinationPort = 7000\nAddQoSHeaders = 1\n"
         "DestinationMACAddress = 00-11-22-33-44-55\nStreamPid = 288\nsend_protocol = UDP\n"
         "send_unicast_ip = 127.0.0.1\nsend_port = " +
         std::to_string(link.send_port) + "\n";
}

// The real bouncer for one run, in a folder of its own with a bouncer.ini of one link, fed by a
// sender of its own. Owned by the main thread.
class BouncerRelay final : public RelayUnderTest {
 public:
  BouncerRelay(size_t size, uint16_t receiver_port)
      : dir_(std::filesystem::temp_directory_path() /
             ("bouncer_bench_" + std::to_string(getpid()))),
        link_(WrappingLink(LoopbackUdp::FreePort(), receiver_port)),
        sender_(sending_.fd(), link_.receive_port, Bytes(size, 0x5a)) {
    std::filesystem::create_directories(dir_);
    const std::string config = dir_ / "bouncer.ini";
    std::ofstream(config) << BouncerIni(link_);
    const std::string out = dir_ / "bouncer.out";
    child_ = std::make_unique<ForkedChild>([&] {
      std::freopen(out.c_str(), "w", stdout);
      execl(BOUNCER_BINARY, BOUNCER_BINARY, "--config", config.c_str(), nullptr);
    });
  }
  ~BouncerRelay() override {
    child_.reset();
    std::filesystem::remove_all(dir_);
  }

  pid_t pid() const override { return child_->pid(); }
  PacedSender& sender() override { return sender_; }

 private:
  std::filesystem::path dir_;
  BouncerLink link_;
  LoopbackUdp sending_;
  PacedSender sender_;
  std::unique_ptr<ForkedChild> child_;
};

std::unique_ptr<RelayUnderTest> Bouncer(size_t size, uint16_t receiver_port) {
  return std::make_unique<BouncerRelay>(size, receiver_port);
}

// The minimal relay: each payload of a batch wrapped into a datagram of its own, the batch sent
// in one call.
std::unique_ptr<RelayUnderTest> Minimal(size_t size, uint16_t receiver_port) {
  const BouncerLink link = WrappingLink(0, receiver_port);
  auto wrapped = std::make_shared<std::array<std::vector<uint8_t>, kBatch>>();
  size_t next = 0;
  const auto wrap = [link, wrapped, next](uint8_t* slot, size_t length) mutable {
    std::vector<uint8_t>& out = (*wrapped)[next++ % kBatch];
    if (!WrapForInserter(link, htonl(INADDR_LOOPBACK), 9, 0, {slot, length}, out))
      return std::span<uint8_t>();
    return std::span<uint8_t>(out);
  };
  return std::make_unique<ReferenceRelay>(ReferenceBuffer::kAsVelmora, receiver_port,
                                          Bytes(size, 0x5a), 0, wrap);
}

// The bouncer's own work on one payload: the wrapping.
std::vector<StageCost> WrappingCost(size_t size) {
  const BouncerLink link = WrappingLink(0, 0);
  const Bytes payload(size, 0x5a);
  std::vector<uint8_t> out;
  constexpr int kRounds = 200000;
  const auto start = ThroughputClock::now();
  for (int i = 0; i < kRounds; ++i) WrapForInserter(link, 0, 9, 0, payload, out);
  const double seconds = std::chrono::duration<double>(ThroughputClock::now() - start).count();
  return {{"wrapping", seconds / kRounds}};
}

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
  return velmora::bench::CompareRelays(
      argc, argv, velmora::bench::kUsage, "bouncer, payloads wrapped for the inserter",
      velmora::kWrappingSize,
      {{"bouncer", velmora::bench::Bouncer}, {"minimal relay", velmora::bench::Minimal}},
      velmora::bench::WrappingCost);
}
