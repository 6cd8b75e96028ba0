#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/socket_handle.h"

namespace velmora {

class Log;

// A TCP stream socket of the remote control: the listener, or one accepted session with a line
// reader that understands the editing keys of an interactive terminal and drops the commands of
// a telnet client. Failures throw cerrorcode. One thread reads a session; Close may
// come from any thread and wakes it.
class TcpSocket {
 public:
  static constexpr size_t kBlockSize = 8192;  // one receive call
  static constexpr size_t kMaxLine = 8192;    // a longer line is discarded
  static constexpr int32_t kLineTooLong = 1;  // ReadLine: a discarded line ended

  explicit TcpSocket(Log& log);
  TcpSocket(Log& log, int accepted_fd);

  // Binds `port` on `address` (network order; any interface by default), with address reuse on
  // so that a restart is not refused while old connections linger. Failure: logs "Error 10037 -
  // port already in use", closes the socket and throws cerrorcode 10037.
  void Bind(uint16_t port, uint32_t address = INADDR_ANY);
  // `backlog`: connections the system holds for Accept.
  void Listen(int backlog = 5);
  // The descriptor of the next connection; `peer` gets its address when given.
  int Accept(sockaddr_in* peer = nullptr);
  // TCP keepalive probes after a minute of silence, so that a vanished peer ends the session.
  void EnableKeepalive();
  // The next line without its line feed: 0; kLineTooLong (line empty) when a line over kMaxLine
  // has ended, which is discarded; or -1 (line empty) when the peer has gone or the socket was
  // closed. Bytes after a line feed wait for the next call. In human mode the received bytes are
  // echoed; backspace, DEL and cursor-left erase the last character; CR NUL ends a line as a
  // line feed does; telnet commands (IAC ...) are dropped.
  int32_t ReadLine(std::string& line);
  // Sends all of `bytes`, as many sends as that takes (a signal may cut one short): the length, or
  // what was sent before an error, or -1 (errno set) when nothing was. Never raises SIGPIPE.
  ssize_t Send(const void* bytes, size_t length);
  ssize_t Send(std::string_view text);
  // The human text in human mode; else the machine text unless it is empty.
  void SendReply(std::string_view human_text, std::string_view machine);
  // Shuts the socket down (waking a blocked accept or receive) and closes it.
  void Close() { handle_.Close(); }
  bool closed() const { return handle_.closed(); }

  void set_human(bool human) { human_ = human; }
  // Makes the mode follow a flag that other threads change (the remote control's one human mode
  // for all sessions) instead of set_human.
  void follow_human(const std::atomic<bool>* flag) { shared_human_ = flag; }
  bool human() const { return shared_human_ != nullptr ? shared_human_->load() : human_; }
  // The port the socket is bound to (the one the system chose for port 0).
  uint16_t local_port() { return handle_.LocalPort(); }

 private:
  enum class Taken { kNothing, kLine, kTooLong };
  // Where the byte filter stands between two bytes.
  enum class Input {
    kData,
    kCarriageReturn,
    kEscape,
    kEscapeSequence,
    kIac,
    kIacOption,
    kSubnegotiation,
    kSubnegotiationIac
  };

  // Takes a complete line out of the pending bytes, if there is one.
  Taken TakeLine(std::string& line);
  // Adds a received block to the pending bytes through the filter, echoing in human mode.
  void Receive(std::string_view data);
  // The filter's step for one byte: true when the byte is data for the line.
  bool Filter(char& c);
  void Erase();
  void FlushEcho();
  void LogDiscarded();

  Log& log_;
  SocketHandle handle_;
  sockaddr_in local_{};
  bool human_ = false;
  const std::atomic<bool>* shared_human_ = nullptr;
  std::string pending_;      // received, not yet returned
  bool discarding_ = false;  // inside an over-long line
  Input input_ = Input::kData;
  std::string echo_;  // received in human mode, not yet echoed
};

}  // namespace velmora
