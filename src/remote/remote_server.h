#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tcp_socket.h"
#include "remote/client_filter.h"
#include "remote/command_interpreter.h"

namespace velmora {

class Log;

// Where and for whom the listener opens.
struct ListenerConfig {
  uint16_t port = 6101;
  uint32_t bind_address = INADDR_ANY;  // network order
  std::string allow;                   // RemoteControlAllow: empty allows every client
  bool operator==(const ListenerConfig&) const = default;
};

// The remote-control server: the listener thread, which accepts connections and refuses those
// the allow list or the session bound rules out, and one thread per session, which greets the
// client and runs its lines through the interpreter. The first session opened while no master
// exists becomes master. The control thread opens, closes and shuts the server down; the
// listener and session threads are the server's own, joined by Close and Shutdown.
class RemoteServer {
 public:
  static constexpr size_t kMaxSessions = 64;
  static constexpr auto kAcceptRetryPause = std::chrono::milliseconds(200);
  static constexpr auto kRefusalLogInterval = std::chrono::seconds(1);

  // `lamp` shows the session indicator: 100 when a session starts, 0 when the last one ends.
  RemoteServer(CommandInterpreter& interpreter, Log& log, std::function<void(int)> lamp);
  ~RemoteServer();
  RemoteServer(const RemoteServer&) = delete;
  RemoteServer& operator=(const RemoteServer&) = delete;

  // Launches the listener unless one runs with this configuration; one that runs with another
  // one, or has ended, is closed first. A bind failure is logged and leaves no listener.
  void Open(const ListenerConfig& config);
  // Closes the listener and joins its thread; open sessions go on.
  void Close();
  // At exit: closes the listener, shuts every session's connection down and joins all threads.
  void Shutdown();

  // A listener thread runs and has not ended.
  bool listening() const;
  // The port the listener is bound to (the one the system chose for port 0); 0 when none.
  uint16_t port() const { return port_.load(); }
  size_t session_count() const;

 private:
  struct Session {
    Session(Log& log, int fd, bool master) : socket(log, fd), master(master) {}
    TcpSocket socket;
    bool master;
    std::thread thread;
    std::atomic<bool> ended{false};
  };

  void Listen(TcpSocket& listener, const ClientFilter& filter);
  // What the listener does with one accepted connection.
  void Admit(int fd, const sockaddr_in& peer, const ClientFilter& filter);
  void StartSession(int fd);
  void RunSession(Session& session);
  void Converse(Session& session);
  // The session count: up at the start, down at the end, with the indicator.
  void CountSessionStart();
  void EndSession(bool master);
  void GiveUpMastership();
  // Joins the threads of sessions that have ended.
  void ReapEnded();
  // A refused connection's or failed accept's log line, at most one per interval; the ones left
  // out are counted in the next.
  void LogRefusal(const std::string& text);

  CommandInterpreter& interpreter_;
  Log& log_;
  std::function<void(int)> lamp_;

  // The listener: owned by the control thread, closed from it.
  std::mutex listener_mutex_;
  std::unique_ptr<TcpSocket> listener_;
  std::thread listener_thread_;
  ListenerConfig config_;
  std::atomic<bool> listener_ended_{true};
  std::atomic<uint16_t> port_{0};

  // The session count and the mastership flag have a lock each, held for a few instructions.
  std::mutex count_mutex_;
  size_t session_count_ = 0;
  std::mutex mastership_mutex_;
  bool mastership_taken_ = false;

  mutable std::mutex sessions_mutex_;  // the session list
  std::list<std::unique_ptr<Session>> sessions_;
  bool shutting_down_ = false;

  std::mutex refusal_mutex_;
  std::chrono::steady_clock::time_point last_refusal_log_{};
  int refusals_left_out_ = 0;
};

}  // namespace velmora
