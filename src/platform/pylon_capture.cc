#include "platform/pylon_capture.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace velmora {
namespace {

// Attaches the compiled `expression` to the handle's socket straight, so that the kernel alone
// applies it: libpcap would run it in user space for frames it took meanwhile, where the inbound
// rule (the packet type, which only the kernel knows) refuses every frame.
bool AttachFilter(pcap_t* handle, const std::string& expression) {
  bpf_program program{};
  if (pcap_compile(handle, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    return false;
  }
  static_assert(sizeof(bpf_insn) == sizeof(sock_filter));
  const sock_fprog kernel_program{.len = static_cast<unsigned short>(program.bf_len),
                                  .filter = reinterpret_cast<sock_filter*>(program.bf_insns)};
  const bool set = ::setsockopt(pcap_get_selectable_fd(handle), SOL_SOCKET, SO_ATTACH_FILTER,
                                &kernel_program, sizeof kernel_program) == 0;
  pcap_freecode(&program);
  return set;
}

// The frames of other types that one take passes over at most, so that a stream of them never
// holds the lock for long.
constexpr int kRound = 64;

// Whether `expression` compiles for an Ethernet capture.
bool Compiles(const std::string& expression) {
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, kPylonFrameRoom);
  bpf_program program{};
  const bool compiled = dead != nullptr && pcap_compile(dead, &program, expression.c_str(), 1,
                                                        PCAP_NETMASK_UNKNOWN) == 0;
  if (compiled) pcap_freecode(&program);
  if (dead != nullptr) pcap_close(dead);
  return compiled;
}

// Reads and discards every frame the handle holds now.
void Drain(pcap_t* handle) {
  pcap_dispatch(
      handle, -1, [](u_char*, const pcap_pkthdr*, const u_char*) {}, nullptr);
}

bool KeepFromChildren(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// A timerfd that becomes readable every second; -1 when the system refused one.
int EverySecond() {
  const int timer = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  const itimerspec period{.it_interval = {.tv_sec = 1}, .it_value = {.tv_sec = 1}};
  if (timer >= 0 && ::timerfd_settime(timer, 0, &period, nullptr) != 0) {
    ::close(timer);
    return -1;
  }
  return timer;
}

}  // namespace

bool PylonCapture::Open(std::string interface, std::string_view kind, int ring_bytes, Report report,
                        Reopened reopened) {
  Close();
  std::lock_guard guard(lock_);
  interface_ = std::move(interface);
  kind_ = kind;
  ring_bytes_ = ring_bytes;
  report_ = std::move(report);
  reopened_ = std::move(reopened);
  filter_.clear();
  carried_ = {};
  std::string failure;
  bool away = false;
  handle_ = OpenHandle(failure, away);
  if (handle_ == nullptr) report_("Pylon. Cannot capture on " + interface_ + ": " + failure + "\n");
  open_ = handle_ != nullptr;
  return open_;
}

pcap_t* PylonCapture::OpenHandle(std::string& failure, bool& interface_away) {
  char error[PCAP_ERRBUF_SIZE] = {};
  pcap_t* handle = pcap_create(interface_.c_str(), error);
  if (handle == nullptr) {
    failure = error;
    return nullptr;
  }
  // PCAP_D_IN keeps outgoing frames from user space; the inbound rule of the filters keeps them
  // out of the ring too.
  int activated = PCAP_ERROR;
  const bool ready =
      pcap_set_snaplen(handle, kPylonFrameRoom) == 0 && pcap_set_promisc(handle, 1) == 0 &&
      pcap_set_immediate_mode(handle, 1) == 0 && pcap_set_buffer_size(handle, ring_bytes_) == 0 &&
      (activated = pcap_activate(handle)) >= 0 && pcap_datalink(handle) == DLT_EN10MB &&
      pcap_setdirection(handle, PCAP_D_IN) == 0 && pcap_setnonblock(handle, 1, error) == 0 &&
      pcap_get_selectable_fd(handle) >= 0 && KeepFromChildren(pcap_get_selectable_fd(handle)) &&
      (filter_.empty() || AttachFilter(handle, filter_));
  if (!ready) {
    failure = std::string(pcap_geterr(handle)) + error;
    interface_away = activated == PCAP_ERROR_NO_SUCH_DEVICE || activated == PCAP_ERROR_IFACE_NOT_UP;
    pcap_close(handle);
    return nullptr;
  }
  Drain(handle);
  pcap_stats(handle, &before_filter_);
  return handle;
}

bool PylonCapture::SetFilter(const std::string& expression) {
  std::lock_guard guard(lock_);
  if (!open_) return true;
  if (handle_ != nullptr ? !AttachFilter(handle_, expression) : !Compiles(expression)) return false;
  filter_ = expression;
  return true;
}

void PylonCapture::ForgetUnfiltered() {
  std::lock_guard guard(lock_);
  if (handle_ == nullptr) return;
  Drain(handle_);
  pcap_stats(handle_, &before_filter_);
}

bool PylonCapture::Watch(DriverEvent& event) {
  std::lock_guard guard(lock_);
  if (!open_ || !event.valid()) return false;
  event.Watch(handle_ != nullptr ? pcap_get_selectable_fd(handle_) : retry_timer_);
  event_ = &event;
  return true;
}

bool PylonCapture::Take(uint16_t type, std::span<uint8_t> buffer, uint32_t& length) {
  std::lock_guard guard(lock_);
  if (handle_ == nullptr && (!open_ || !Reopen())) return false;
  for (int passed_over = 0; passed_over < kRound; ++passed_over) {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int taken = pcap_next_ex(handle_, &header, &data);
    if (taken < 0) Lose();
    if (taken != 1) return false;
    // Frames of another type are passed over: the kernel's filter sees a VLAN-tagged frame by
    // its inner type, but the capture hands it out with its tag, which would put every field
    // 4 bytes off.
    if (header->caplen < 14 || (data[12] << 8 | data[13]) != type) continue;
    std::copy_n(data, std::min<size_t>(header->caplen, buffer.size()), buffer.begin());
    length = header->caplen == header->len
                 ? header->len
                 : std::max<uint32_t>(header->len, static_cast<uint32_t>(buffer.size()) + 1);
    return true;
  }
  return false;
}

void PylonCapture::Lose() {
  report_("Pylon. Capture of " + kind_ + " frames on " + interface_ + " lost: " +
          pcap_geterr(handle_) + ". It is opened again when " + interface_ + " is back.\n");
  const PylonCaptureCounts live = LiveCounts();
  carried_.received += live.received;
  carried_.dropped += live.dropped;
  pcap_close(handle_);
  handle_ = nullptr;
  retry_timer_ = EverySecond();
  if (retry_timer_ < 0) {
    report_("Pylon. Capture of " + kind_ + " frames on " + interface_ +
            " cannot be retried without a timer: it is opened again at the next service start.\n");
  }
  reopen_failure_reported_ = false;
  if (event_ != nullptr) event_->Watch(retry_timer_);
}

bool PylonCapture::Reopen() {
  uint64_t expirations = 0;
  [[maybe_unused]] const ssize_t read = ::read(retry_timer_, &expirations, sizeof expirations);
  std::string failure;
  bool away = false;
  handle_ = OpenHandle(failure, away);
  if (handle_ == nullptr) {
    // The interface's absence is what the wait is for; any other failure is said once.
    if (!away && !reopen_failure_reported_) {
      report_("Pylon. Capture of " + kind_ + " frames on " + interface_ +
              " cannot be opened again yet: " + failure + "\n");
      reopen_failure_reported_ = true;
    }
    return false;
  }
  ::close(retry_timer_);
  retry_timer_ = -1;
  if (event_ != nullptr) event_->Watch(pcap_get_selectable_fd(handle_));
  report_("Pylon. Capture of " + kind_ + " frames on " + interface_ + " opened again.\n");
  reopened_();
  return true;
}

bool PylonCapture::Inject(std::span<const uint8_t> frame) {
  std::lock_guard guard(lock_);
  return handle_ != nullptr &&
         pcap_inject(handle_, frame.data(), frame.size()) == static_cast<int>(frame.size());
}

PylonCaptureCounts PylonCapture::LiveCounts() {
  pcap_stat counts{};
  if (handle_ == nullptr || pcap_stats(handle_, &counts) != 0) return {};
  return {.received = counts.ps_recv - before_filter_.ps_recv,
          .dropped = counts.ps_drop - before_filter_.ps_drop};
}

std::optional<PylonCaptureCounts> PylonCapture::Counts() {
  std::lock_guard guard(lock_);
  if (!open_) return std::nullopt;
  const PylonCaptureCounts live = LiveCounts();
  return PylonCaptureCounts{.received = carried_.received + live.received,
                            .dropped = carried_.dropped + live.dropped};
}

void PylonCapture::Close() {
  std::lock_guard guard(lock_);
  if (handle_ != nullptr) pcap_close(handle_);
  if (retry_timer_ >= 0) ::close(retry_timer_);
  if (event_ != nullptr) event_->Watch(-1);
  handle_ = nullptr;
  retry_timer_ = -1;
  event_ = nullptr;
  open_ = false;
}

int PylonCapture::descriptor() {
  std::lock_guard guard(lock_);
  return handle_ != nullptr ? pcap_get_selectable_fd(handle_) : -1;
}

}  // namespace velmora
