#include "packet/sending_thread.h"

#include <pthread.h>

#include <cstdio>
#include <optional>

#include "packet/source_error.h"
#include "platform/socket_error.h"
#include "platform/udp_socket.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

namespace {

constexpr int32_t kBadDescriptor = 10009;
constexpr int32_t kNotASocket = 10038;
constexpr auto kRefusalWindow = std::chrono::seconds(1);

}  // namespace

SendingThread::SendingThread(OutputQueue& queue, Log& log, Clock& clock,
                             const SharedNumber<int32_t>& running,
                             std::function<InserterAddress()> inserter,
                             std::function<bool()> enabled)
    : queue_(queue),
      log_(log),
      clock_(clock),
      running_(running),
      inserter_(std::move(inserter)),
      enabled_(std::move(enabled)),
      dropped_(log, " datagram(s) dropped") {}

void SendingThread::Launch() {
  queue_.Resume();
  thread_ = std::thread([this, inserter = inserter_()] { Run(inserter); });
  pthread_setname_np(thread_.native_handle(), "sending");
}

void SendingThread::Wake() {
  queue_.Stop();
}

void SendingThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void SendingThread::Run(InserterAddress inserter) {
  try {
    UdpSocket socket(log_);
    socket.SetPeer(inserter.address, inserter.port);
    socket.Connect();
    for (;;) {
      const OutputQueue::Datagrams datagrams = Next();
      if (datagrams.empty()) {
        if (running_ == 0) break;
        continue;
      }
      if (log_.level() >= 3) Trace(datagrams);
      const bool sent = Send(socket, datagrams);
      queue_.Release();
      if (!sent) break;
    }
  } catch (const cerrorcode& error) {
    LogSourceError(log_, error);
  }
  dropped_.Flush(clock_.Now());
  if (log_.level() >= 2) log_ << "Sending thread exited.\n";
}

OutputQueue::Datagrams SendingThread::Next() {
  dropped_.Tick(clock_.Now());
  const std::optional<Clock::TimePoint> due = dropped_.due();
  if (!due) return queue_.Front();
  return queue_.FrontBefore(clock_, *due);
}

void SendingThread::Trace(OutputQueue::Datagrams datagrams) {
  for (const std::span<const uint8_t> datagram : datagrams) {
    const unsigned pid = datagram.size() >= 7 ? unsigned{datagram[5]} << 8 | datagram[6] : 0;
    char line[64];
    std::snprintf(line, sizeof line, "Packet sent: Len=%zu, PID=0x%x\n", datagram.size(), pid);
    log_ << line;
  }
}

bool SendingThread::Send(UdpSocket& socket, OutputQueue::Datagrams datagrams) {
  while (!datagrams.empty()) {
    const size_t count = Refusing() ? 1 : datagrams.size();
    const size_t sent = socket.SendBatch(datagrams.first(count));
    datagrams = datagrams.subspan(sent);
    if (sent == count) continue;
    if (running_ == 0) return false;  // the stop closed the socket under the last datagrams
    SendFailed(socket.send_error());
    datagrams = datagrams.subspan(1);
  }
  return true;
}

bool SendingThread::Refusing() const {
  return last_failure_ && clock_.Now() - *last_failure_ < kRefusalWindow;
}

void SendingThread::SendFailed(int32_t code) {
  if (code == kBadDescriptor || code == kNotASocket) throw cerrorcode(code);
  last_failure_ = clock_.Now();
  queue_.CountDropped();
  dropped_.Count(clock_.Now(), [code] {
    return "Sending to the inserter failed: " + SocketErrorText(code) + "; ";
  });
}

}  // namespace velmora
