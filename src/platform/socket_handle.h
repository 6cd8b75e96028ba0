#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

namespace velmora {

// A socket descriptor that is closed exactly once, and never while a call on it is still under
// way: Close shuts the socket down, which wakes a thread blocked in a receive or accept, and
// the descriptor is closed when the last such call has returned. So a woken thread never goes
// on with a number that another socket may own by then. Any thread may call.
class SocketHandle {
 public:
  explicit SocketHandle(int fd) : number_(fd), fd_(fd) {}
  ~SocketHandle() { Close(); }
  SocketHandle(const SocketHandle&) = delete;
  SocketHandle& operator=(const SocketHandle&) = delete;

  // Runs `call(fd)` unless the handle is closed; then returns -1 with errno EBADF.
  template <typename Call>
  ssize_t Use(Call call) {
    int fd;
    {
      std::lock_guard lock(mutex_);
      if (closed_) return Refuse();
      fd = fd_;
      ++users_;
    }
    const ssize_t result = call(fd);
    const int error = errno;  // the call's, whatever the release does
    Release();
    errno = error;
    return result;
  }

  void Close();
  bool closed() const;
  // The local port the socket is bound to; 0 when none.
  uint16_t LocalPort();
  // The number, for logging only.
  int number() const { return number_; }

 private:
  static ssize_t Refuse();
  void Release();

  const int number_;
  mutable std::mutex mutex_;
  int fd_;
  int users_ = 0;
  bool closed_ = false;
};

}  // namespace velmora
