#include "platform/tcp_socket.h"

#include <sys/socket.h>

#include "platform/socket_error.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

namespace {

int NewTcpSocket() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) ThrowSocketError();
  return fd;
}

constexpr char kBackspace = 8;
constexpr char kEscape = 27;

}  // namespace

TcpSocket::TcpSocket(Log& log) : log_(log), handle_(NewTcpSocket()) {}

TcpSocket::TcpSocket(Log& log, int accepted_fd) : log_(log), handle_(accepted_fd) {}

void TcpSocket::Bind(uint16_t port) {
  local_.sin_family = AF_INET;
  local_.sin_port = htons(port);
  local_.sin_addr.s_addr = htonl(INADDR_ANY);
  const ssize_t result = handle_.Use([this](int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&local_), sizeof local_);
  });
  if (result == 0) return;
  log_ << "Error " << cerrorcode::kPortInUse << " - port already in use\n";
  handle_.Close();
  throw cerrorcode(cerrorcode::kPortInUse);
}

void TcpSocket::Listen() {
  if (handle_.Use([](int fd) { return ::listen(fd, 5); }) != 0) ThrowSocketError();
}

int TcpSocket::Accept() {
  const ssize_t fd =
      handle_.Use([](int fd) { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); });
  if (fd >= 0) return static_cast<int>(fd);
  const int error = errno;
  if (log_.level() >= 3) log_ << "Stop listening...\n";
  throw cerrorcode(SocketErrorCode(error));
}

ssize_t TcpSocket::Send(const void* bytes, size_t length) {
  return handle_.Use([&](int fd) { return ::send(fd, bytes, length, MSG_NOSIGNAL); });
}

ssize_t TcpSocket::Send(std::string_view text) {
  if (text.empty()) return 0;
  return Send(text.data(), text.size());
}

void TcpSocket::SendReply(std::string_view human, std::string_view machine) {
  if (human_) {
    Send(human);
  } else if (!machine.empty()) {
    Send(machine);
  }
}

bool TcpSocket::TakeLine(std::string& line) {
  for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
    const bool keep = !discarding_ && end <= kMaxLine;
    if (!keep && !discarding_) LogDiscarded();
    discarding_ = false;
    if (keep) line.assign(pending_, 0, end);
    pending_.erase(0, end + 1);
    if (keep) return true;
  }
  if (pending_.size() > kMaxLine) {
    if (!discarding_) LogDiscarded();
    pending_.clear();
    discarding_ = true;
  }
  return false;
}

void TcpSocket::LogDiscarded() {
  log_ << "Remote line over " << static_cast<int32_t>(kMaxLine) << " bytes discarded\n";
}

void TcpSocket::Erase() {
  if (pending_.empty() || discarding_) return;
  pending_.pop_back();
  if (human_) Send("\b \b");
}

int32_t TcpSocket::ReadLine(std::string& line) {
  line.clear();
  char block[kBlockSize];
  while (!TakeLine(line)) {
    const ssize_t received =
        handle_.Use([&block](int fd) { return ::recv(fd, block, sizeof block, 0); });
    if (received <= 0) {
      pending_.clear();
      discarding_ = false;
      return -1;
    }
    const std::string_view data(block, static_cast<size_t>(received));
    if (data.front() == kBackspace) {
      Erase();
    } else if (data.front() == kEscape) {
      if (data.size() == 3 && data[2] == 'D') Erase();  // cursor left
    } else {
      if (human_) Send(data);
      pending_.append(data);
    }
  }
  return 0;
}

}  // namespace velmora
