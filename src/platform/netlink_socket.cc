#include "platform/netlink_socket.h"

#include <linux/rtnetlink.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace velmora {
namespace {

constexpr size_t kAnswerSize = 64 * 1024;  // dump parts are at most a few pages
constexpr int kDumpAttempts = 8;

struct DumpState {
  const NetlinkSocket::MessageHandler* handler;
  bool refused = false;
};

int HandleDumpMessage(const nlmsghdr* message, void* data) {
  auto* state = static_cast<DumpState*>(data);
  if (!(*state->handler)(*message)) {
    state->refused = true;
    return MNL_CB_ERROR;
  }
  return MNL_CB_OK;
}

// Notes and clears the kernel's mark of an interrupted dump on every message of one read: libmnl
// gives up on a marked message, while the rest of the dump must still be read to its end before
// the dump can be asked again.
bool TakeInterruptedMarks(char* buffer, size_t size) {
  bool interrupted = false;
  int remaining = static_cast<int>(size);
  for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); mnl_nlmsg_ok(message, remaining);
       message = mnl_nlmsg_next(message, &remaining)) {
    if ((message->nlmsg_flags & NLM_F_DUMP_INTR) == 0) continue;
    message->nlmsg_flags &= ~NLM_F_DUMP_INTR;
    interrupted = true;
  }
  return interrupted;
}

// The kernel's answer to the change numbered `sequence` in one read: 0 for an acknowledgement,
// or the errno it refused with; none when the read holds no answer to that change (parts of an
// earlier conversation are passed over).
std::optional<int> FindChangeAnswer(const char* buffer, size_t size, uint32_t sequence) {
  int remaining = static_cast<int>(size);
  for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer); mnl_nlmsg_ok(message, remaining);
       message = mnl_nlmsg_next(message, &remaining)) {
    if (message->nlmsg_seq != sequence || message->nlmsg_type != NLMSG_ERROR) continue;
    if (message->nlmsg_len < mnl_nlmsg_size(sizeof(nlmsgerr))) return EBADMSG;
    return -static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message))->error;
  }
  return std::nullopt;
}

}  // namespace

NetlinkSocket::NetlinkSocket()
    : sequence_(static_cast<uint32_t>(time(nullptr))),
      request_(MNL_SOCKET_BUFFER_SIZE),
      answer_(kAnswerSize) {
  Open();
}

NetlinkSocket::~NetlinkSocket() {
  Close();
}

void NetlinkSocket::Open() {
  socket_ = mnl_socket_open(NETLINK_ROUTE);
  if (socket_ != nullptr && mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
    const int error = errno;
    Close();
    errno = error;
  }
  if (socket_ == nullptr) open_error_ = errno != 0 ? errno : EBADF;
}

bool NetlinkSocket::EnsureOpen() {
  if (socket_ == nullptr) Open();
  if (socket_ != nullptr) return true;
  errno = open_error_;
  return false;
}

void NetlinkSocket::Close() {
  if (socket_ != nullptr) mnl_socket_close(socket_);
  socket_ = nullptr;
}

void NetlinkSocket::Reopen() {
  const int error = errno;
  Close();
  Open();
  errno = error;
}

nlmsghdr* NetlinkSocket::StartMessage(uint16_t type, uint16_t flags, size_t header_size) {
  std::memset(request_.data(), 0, request_.size());
  nlmsghdr* message = mnl_nlmsg_put_header(request_.data());
  message->nlmsg_type = type;
  message->nlmsg_flags = NLM_F_REQUEST | flags;
  mnl_nlmsg_put_extra_header(message, header_size);
  return message;
}

bool NetlinkSocket::Dump(const MessageHandler& handler, const std::function<void()>& restart) {
  if (!EnsureOpen()) return false;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    bool interrupted = false;
    if (!DumpOnce(handler, interrupted)) {
      Reopen();  // the rest of the answer must not reach the next request
      return false;
    }
    if (!interrupted) return true;
    restart();
  }
  errno = EAGAIN;
  return false;
}

bool NetlinkSocket::DumpOnce(const MessageHandler& handler, bool& interrupted) {
  auto* message = reinterpret_cast<nlmsghdr*>(request_.data());
  message->nlmsg_seq = ++sequence_;
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return false;
  DumpState state{&handler};
  const unsigned int port = mnl_socket_get_portid(socket_);
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_, answer_.data(), answer_.size());
    if (received < 0) return false;
    if (TakeInterruptedMarks(answer_.data(), static_cast<size_t>(received))) interrupted = true;
    const int result = mnl_cb_run(answer_.data(), static_cast<size_t>(received), message->nlmsg_seq,
                                  port, HandleDumpMessage, &state);
    if (result == MNL_CB_STOP) return true;
    if (result == MNL_CB_ERROR) {
      if (state.refused) errno = EPROTO;
      return false;
    }
  }
}

int NetlinkSocket::Change() {
  if (!EnsureOpen()) return errno;
  auto* message = reinterpret_cast<nlmsghdr*>(request_.data());
  message->nlmsg_flags |= NLM_F_ACK;
  message->nlmsg_seq = ++sequence_;
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return errno;
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket_, answer_.data(), answer_.size());
    if (received < 0) {
      const int error = errno;
      Reopen();
      return error;
    }
    const std::optional<int> answer =
        FindChangeAnswer(answer_.data(), static_cast<size_t>(received), message->nlmsg_seq);
    if (answer) return *answer;
  }
}

}  // namespace velmora
