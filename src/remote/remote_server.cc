#include "remote/remote_server.h"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <system_error>
#include <vector>

#include "platform/address_text.h"
#include "platform/socket_error.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

namespace {

// A session's replies go to its connection.
class SocketChannel final : public ReplyChannel {
 public:
  explicit SocketChannel(TcpSocket& socket) : socket_(socket) {}
  void Send(std::string_view bytes) override { socket_.Send(bytes); }

 private:
  TcpSocket& socket_;
};

// Accept failures that last until descriptors or memory are freed elsewhere.
bool OutOfResources(int32_t code) {
  for (int error : {EMFILE, ENFILE, ENOBUFS, ENOMEM}) {
    if (code == SocketErrorCode(error)) return true;
  }
  return false;
}

}  // namespace

RemoteServer::RemoteServer(CommandInterpreter& interpreter, Log& log, std::function<void(int)> lamp)
    : interpreter_(interpreter), log_(log), lamp_(std::move(lamp)) {}

RemoteServer::~RemoteServer() {
  Shutdown();
}

bool RemoteServer::listening() const {
  return !listener_ended_.load();
}

size_t RemoteServer::session_count() const {
  std::lock_guard lock(sessions_mutex_);
  size_t count = 0;
  for (const auto& session : sessions_) count += !session->ended.load();
  return count;
}

void RemoteServer::Open(const ListenerConfig& config) {
  if (listening() && config == config_) return;
  Close();
  config_ = config;
  std::vector<std::string> rejected;
  const ClientFilter filter(config.allow, &rejected);
  for (const std::string& entry : rejected) {
    log_ << "RemoteControlAllow entry ignored: " + entry + "\n";
  }
  std::unique_ptr<TcpSocket> listener;
  try {
    listener = std::make_unique<TcpSocket>(log_);
    listener->Bind(config.port, config.bind_address);
    // Room for a burst of clients connecting at once.
    listener->Listen(static_cast<int>(kMaxSessions));
  } catch (const cerrorcode& error) {
    if (error.code() == cerrorcode::kPortInUse) {
      log_ << "Cannot start new thread. Port: " + std::to_string(config.port) + " - busy.\n";
    } else {
      log_ << "Remote Control Socket error.\n";
    }
    return;
  }
  if (log_.level() >= 3) log_ << "Remote Control thread - activated\n";
  port_ = listener->local_port();
  TcpSocket& socket = *listener;
  {
    std::lock_guard lock(listener_mutex_);
    listener_ = std::move(listener);
  }
  listener_ended_ = false;
  listener_thread_ = std::thread([this, &socket, filter] {
    Listen(socket, filter);
    listener_ended_ = true;
  });
}

void RemoteServer::Close() {
  {
    std::lock_guard lock(listener_mutex_);
    if (listener_ != nullptr) listener_->Close();
  }
  if (listener_thread_.joinable()) listener_thread_.join();
  std::lock_guard lock(listener_mutex_);
  listener_.reset();
  port_ = 0;
}

void RemoteServer::Shutdown() {
  Close();
  std::list<std::unique_ptr<Session>> sessions;
  {
    std::lock_guard lock(sessions_mutex_);
    shutting_down_ = true;
    for (const auto& session : sessions_) session->socket.Close();
    sessions.swap(sessions_);
  }
  for (const auto& session : sessions) session->thread.join();
}

void RemoteServer::Listen(TcpSocket& listener, const ClientFilter& filter) {
  for (;;) {
    sockaddr_in peer{};
    try {
      const int fd = listener.Accept(&peer);
      Admit(fd, peer, filter);
    } catch (const cerrorcode& error) {
      if (listener.closed()) {
        log_ << "Remote Control Socket error.\n";
        return;
      }
      // At most a line a second, however fast accepts fail (out of descriptors, for one).
      LogRefusal("Remote Control Socket error: " + SocketErrorText(error.code()));
      // Until descriptors or memory are freed, a retry at once would fail again.
      if (OutOfResources(error.code())) std::this_thread::sleep_for(kAcceptRetryPause);
    }
  }
}

void RemoteServer::Admit(int fd, const sockaddr_in& peer, const ClientFilter& filter) {
  ReapEnded();
  const std::string client = AddressToDotted(peer.sin_addr.s_addr);
  if (!filter.Allows(peer.sin_addr.s_addr)) {
    LogRefusal("Remote Control connection from " + client + " refused: not in RemoteControlAllow");
    ::close(fd);
    return;
  }
  if (session_count() >= kMaxSessions) {
    LogRefusal("Remote Control connection from " + client +
               " closed: " + std::to_string(kMaxSessions) + " sessions open");
    ::close(fd);
    return;
  }
  StartSession(fd);
}

void RemoteServer::StartSession(int fd) {
  std::unique_lock mastership(mastership_mutex_);
  const bool master = !mastership_taken_;
  mastership_taken_ = true;
  mastership.unlock();

  auto session = std::make_unique<Session>(log_, fd, master);
  session->socket.EnableKeepalive();
  std::lock_guard lock(sessions_mutex_);
  if (shutting_down_) {
    if (master) GiveUpMastership();
    return;
  }
  try {
    Session& started = *session;
    session->thread = std::thread([this, &started] { RunSession(started); });
  } catch (const std::system_error&) {
    log_ << "Remote Control session thread could not start\n";
    if (master) GiveUpMastership();
    return;  // the session's connection closes with it
  }
  sessions_.push_back(std::move(session));
}

void RemoteServer::RunSession(Session& session) {
  CountSessionStart();
  try {
    Converse(session);
  } catch (const std::exception& error) {
    log_ << std::string("Remote Control session ended by an error: ") + error.what() + "\n";
  }
  EndSession(session.master);
  session.socket.Close();
  session.ended = true;
}

void RemoteServer::Converse(Session& session) {
  SocketChannel out(session.socket);
  interpreter_.Reply(out, CommandInterpreter::kGreeting, "");
  if (log_.level() >= 2) log_ << "Velmora Remote Control session has initialized.\n";
  interpreter_.set_human(false);
  session.socket.follow_human(&interpreter_.human_flag());
  SessionState state{.master = session.master};
  std::string line;
  while (!state.quit) {
    interpreter_.Reply(out, CommandInterpreter::kPrompt, "");
    const int32_t result = session.socket.ReadLine(line);
    if (result < 0) break;
    if (result == TcpSocket::kLineTooLong) {
      interpreter_.ExecuteOverlong(state, out);
    } else {
      interpreter_.Execute(line, state, out);
    }
  }
  if (log_.level() >= 2) log_ << "Remote Control Session terminated\n";
}

void RemoteServer::CountSessionStart() {
  std::lock_guard lock(count_mutex_);
  ++session_count_;
  if (lamp_) lamp_(100);
}

void RemoteServer::EndSession(bool master) {
  {
    std::lock_guard lock(count_mutex_);
    if (--session_count_ == 0 && lamp_) lamp_(0);
  }
  if (master) GiveUpMastership();
}

void RemoteServer::GiveUpMastership() {
  std::lock_guard lock(mastership_mutex_);
  mastership_taken_ = false;
}

void RemoteServer::ReapEnded() {
  std::list<std::unique_ptr<Session>> ended;
  {
    std::lock_guard lock(sessions_mutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      const auto next = std::next(it);
      if ((*it)->ended) ended.splice(ended.end(), sessions_, it);
      it = next;
    }
  }
  for (const auto& session : ended) session->thread.join();
}

void RemoteServer::LogRefusal(const std::string& text) {
  std::lock_guard lock(refusal_mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (last_refusal_log_ != std::chrono::steady_clock::time_point{} &&
      now - last_refusal_log_ < kRefusalLogInterval) {
    ++refusals_left_out_;
    return;
  }
  std::string line = text;
  if (refusals_left_out_ > 0) {
    line += " (" + std::to_string(refusals_left_out_) + " more refused before)";
  }
  refusals_left_out_ = 0;
  last_refusal_log_ = now;
  log_ << line + "\n";
}

}  // namespace velmora
