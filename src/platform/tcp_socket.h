#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket_handle.h"

namespace velmora {

class Log;

// A TCP stream socket of the remote control: the listener, or one accepted session with a line
// reader that understands the editing keys of an interactive terminal. Failures throw
// cerrorcode. One thread reads a session; Close may come from any thread and wakes it.
class TcpSocket {
 public:
  static constexpr size_t kBlockSize = 8192;  // one receive call
  static constexpr size_t kMaxLine = 8192;    // a longer line is discarded

  explicit TcpSocket(Log& log);
  TcpSocket(Log& log, int accepted_fd);

  // Binds any interface at `port` (address reuse on, so a restart is not refused while old
  // connections linger). Failure: logs "Error 10037 - port already in use", closes the socket
  // and throws cerrorcode 10037.
  void Bind(uint16_t port);
  void Listen();
  // The descriptor of the next connection.
  int Accept();
  // The next line without its line feed: 0, or -1 (line empty) when the peer has gone or the
  // socket was closed. Bytes after a line feed wait for the next call. In human mode the
  // received blocks are echoed and backspace / cursor-left erase the last character.
  int32_t ReadLine(std::string& line);
  // One send; what the system returns. Never raises SIGPIPE.
  ssize_t Send(const void* bytes, size_t length);
  ssize_t Send(std::string_view text);
  // The human text in human mode; else the machine text unless it is empty.
  void SendReply(std::string_view human, std::string_view machine);
  // Shuts the socket down (waking a blocked accept or receive) and closes it.
  void Close() { handle_.Close(); }

  void set_human(bool human) { human_ = human; }
  bool human() const { return human_; }
  // The port the socket is bound to (the one the system chose for port 0).
  uint16_t local_port() { return handle_.LocalPort(); }

 private:
  // Takes a complete line out of the pending bytes, if there is one.
  bool TakeLine(std::string& line);
  void Erase();
  void LogDiscarded();

  Log& log_;
  SocketHandle handle_;
  sockaddr_in local_{};
  bool human_ = false;
  std::string pending_;      // received, not yet returned
  bool discarding_ = false;  // inside an over-long line
};

}  // namespace velmora
