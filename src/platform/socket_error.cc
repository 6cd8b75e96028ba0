#include "platform/socket_error.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "support/cerrorcode.h"

namespace velmora {

namespace {

// System error number and socket error code.
constexpr std::pair<int, int32_t> kCodes[] = {
    {EINTR, cerrorcode::kInterrupted},
    {EBADF, 10009},
    {EACCES, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {EAGAIN, 10035},
    {EALREADY, cerrorcode::kPortInUse},
    {ENOTSOCK, 10038},
    {EMSGSIZE, 10040},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {ENOBUFS, 10055},
    {ENOTCONN, 10057},
    {EPIPE, 10058},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {EHOSTUNREACH, 10065},
};

}  // namespace

int32_t SocketErrorCode(int error_number) {
  for (const auto& [number, code] : kCodes) {
    if (number == error_number) return code;
  }
  return error_number;
}

std::string SocketErrorText(int32_t code) {
  // The wrappers raise this code for a port that another socket holds.
  if (code == cerrorcode::kPortInUse) return std::strerror(EADDRINUSE);
  for (const auto& [number, known] : kCodes) {
    if (known == code) return std::strerror(number);
  }
  return std::strerror(code);
}

void ThrowSocketError() {
  throw cerrorcode(SocketErrorCode(errno));
}

}  // namespace velmora
