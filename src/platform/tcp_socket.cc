#include "platform/tcp_socket.h"

#include <netinet/tcp.h>
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
constexpr char kDelete = 127;
// Telnet (RFC 854) command bytes.
constexpr unsigned char kIac = 255;
constexpr unsigned char kWill = 251;
constexpr unsigned char kDont = 254;
constexpr unsigned char kSubnegotiationBegin = 250;
constexpr unsigned char kSubnegotiationEnd = 240;

}  // namespace

TcpSocket::TcpSocket(Log& log) : log_(log), handle_(NewTcpSocket()) {}

TcpSocket::TcpSocket(Log& log, int accepted_fd) : log_(log), handle_(accepted_fd) {}

void TcpSocket::Bind(uint16_t port, uint32_t address) {
  local_.sin_family = AF_INET;
  local_.sin_port = htons(port);
  local_.sin_addr.s_addr = address;
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

void TcpSocket::Listen(int backlog) {
  if (handle_.Use([backlog](int fd) { return ::listen(fd, backlog); }) != 0) ThrowSocketError();
}

int TcpSocket::Accept(sockaddr_in* peer) {
  const ssize_t fd = handle_.Use([peer](int fd) {
    socklen_t length = sizeof(sockaddr_in);
    return ::accept4(fd, reinterpret_cast<sockaddr*>(peer), peer != nullptr ? &length : nullptr,
                     SOCK_CLOEXEC);
  });
  if (fd >= 0) return static_cast<int>(fd);
  const int error = errno;
  if (log_.level() >= 3) log_ << "Stop listening...\n";
  throw cerrorcode(SocketErrorCode(error));
}

void TcpSocket::EnableKeepalive() {
  handle_.Use([](int fd) {
    const int on = 1, idle = 60, interval = 10, probes = 5;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    return ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  });
}

ssize_t TcpSocket::Send(const void* bytes, size_t length) {
  const auto* next = static_cast<const char*>(bytes);
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n =
        handle_.Use([&](int fd) { return ::send(fd, next + sent, length - sent, MSG_NOSIGNAL); });
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return sent > 0 ? static_cast<ssize_t>(sent) : n;
    sent += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(sent);
}

ssize_t TcpSocket::Send(std::string_view text) {
  if (text.empty()) return 0;
  return Send(text.data(), text.size());
}

void TcpSocket::SendReply(std::string_view human_text, std::string_view machine) {
  if (human()) {
    Send(human_text);
  } else if (!machine.empty()) {
    Send(machine);
  }
}

TcpSocket::Taken TcpSocket::TakeLine(std::string& line) {
  const size_t end = pending_.find('\n');
  if (end != std::string::npos) {
    const bool keep = !discarding_ && end <= kMaxLine;
    if (!keep && !discarding_) LogDiscarded();
    discarding_ = false;
    if (keep) line.assign(pending_, 0, end);
    pending_.erase(0, end + 1);
    return keep ? Taken::kLine : Taken::kTooLong;
  }
  if (pending_.size() > kMaxLine) {
    if (!discarding_) LogDiscarded();
    pending_.clear();
    discarding_ = true;
  }
  return Taken::kNothing;
}

void TcpSocket::LogDiscarded() {
  log_ << "Remote line over " << static_cast<int32_t>(kMaxLine) << " bytes discarded\n";
}

void TcpSocket::Erase() {
  if (pending_.empty() || pending_.back() == '\n' || discarding_) return;
  pending_.pop_back();
  FlushEcho();  // what came before the erase in the same block
  if (human()) Send("\b \b");
}

bool TcpSocket::Filter(char& c) {
  const auto byte = static_cast<unsigned char>(c);
  switch (input_) {
    case Input::kIac:  // the command byte; options and subnegotiations carry more
      input_ = byte == kSubnegotiationBegin     ? Input::kSubnegotiation
               : byte >= kWill && byte <= kDont ? Input::kIacOption
                                                : Input::kData;
      return false;
    case Input::kIacOption:
      input_ = Input::kData;
      return false;
    case Input::kSubnegotiation:
      if (byte == kIac) input_ = Input::kSubnegotiationIac;
      return false;
    case Input::kSubnegotiationIac:
      input_ = byte == kSubnegotiationEnd ? Input::kData : Input::kSubnegotiation;
      return false;
    case Input::kEscape:
      input_ = c == '[' || c == 'O' ? Input::kEscapeSequence : Input::kData;
      return false;
    case Input::kEscapeSequence:
      input_ = Input::kData;
      if (c == 'D') Erase();  // cursor left
      return false;
    case Input::kCarriageReturn:
      input_ = Input::kData;
      if (byte == 0) {  // a telnet client's end of line
        c = '\n';
        return true;
      }
      break;
    case Input::kData:
      break;
  }
  if (byte == kIac) {
    input_ = Input::kIac;
  } else if (c == kEscape) {
    input_ = Input::kEscape;
  } else if (c == kBackspace || c == kDelete) {
    Erase();
  } else {
    if (c == '\r') input_ = Input::kCarriageReturn;
    return true;
  }
  return false;
}

void TcpSocket::Receive(std::string_view data) {
  for (char c : data) {
    if (!Filter(c)) continue;
    pending_.push_back(c);
    if (human()) echo_.push_back(c);
  }
  FlushEcho();
}

void TcpSocket::FlushEcho() {
  Send(echo_);
  echo_.clear();
}

int32_t TcpSocket::ReadLine(std::string& line) {
  line.clear();
  char block[kBlockSize];
  for (Taken taken = TakeLine(line); taken != Taken::kLine; taken = TakeLine(line)) {
    if (taken == Taken::kTooLong) return kLineTooLong;
    const ssize_t received =
        handle_.Use([&block](int fd) { return ::recv(fd, block, sizeof block, 0); });
    if (received <= 0) {
      pending_.clear();
      discarding_ = false;
      input_ = Input::kData;
      return -1;
    }
    Receive({block, static_cast<size_t>(received)});
  }
  return 0;
}

}  // namespace velmora
