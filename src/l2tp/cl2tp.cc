#include "l2tp/cl2tp.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "l2tp/session_ppp.h"
#include "l2tp/tunnel_list.h"
#include "platform/socket_error.h"
#include "platform/udp_port.h"

namespace velmora::l2tp {

namespace {

constexpr uint16_t kDefaultPort = 1701;
constexpr size_t kMaxUserField = 260;
constexpr size_t kMaxSecret = 96;
constexpr auto kShutdownGrace = std::chrono::milliseconds(2000);

class PortTransport final : public L2tpTransport {
 public:
  explicit PortTransport(UdpPort& port) : port_(port) {}
  int32_t Send(const sockaddr_in& to, std::span<const uint8_t> datagram) override {
    return port_.Send(to, datagram);
  }

 private:
  UdpPort& port_;
};

std::string MachineHostName() {
  char name[129] = {};
  if (gethostname(name, 128) != 0) return "lns";
  return name;
}

}  // namespace

std::atomic<int> CL2tp::instances_{0};

CL2tp::CL2tp(Clock& clock) : clock_(clock) {
  if (instances_.fetch_add(1) != 0) {
    instances_.fetch_sub(1);
    throw std::logic_error("only one instance of CL2tp object is allowed");
  }
}

CL2tp::~CL2tp() {
  Stop();
  Join();
  instances_.fetch_sub(1);
}

void CL2tp::Join() {
  if (thread_.joinable()) thread_.join();
}

void CL2tp::Report(std::string text) {
  if (messages_) {
    messages_->Push(std::move(text));
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

bool CL2tp::Fail(const std::string& text) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    last_error_ = text;
  }
  Report("Error: " + text);
  return false;
}

std::string CL2tp::LastError() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return last_error_;
}

bool CL2tp::SetParameters(const L2tpParams& params) {
  if (IsRunning()) return Fail("Server is already running");
  {
    std::lock_guard<std::mutex> guard(mutex_);
    initialized_ = false;
    params_ = {};
  }
  if (params.poolStart == 0) return Fail("Invalid IP address pool");
  if (params.poolSize == 0) return Fail("Invalid IP address pool size");
  std::lock_guard<std::mutex> guard(mutex_);
  params_ = params;
  initialized_ = true;
  return true;
}

bool CL2tp::AddUser(const std::string& name, const std::string& password) {
  if (name.size() > kMaxUserField) return Fail("Invalid user name parameter");
  if (password.size() > kMaxUserField) return Fail("Invalid password parameter");
  std::lock_guard<std::mutex> guard(mutex_);
  users_[name] = {name, password};
  return true;
}

bool CL2tp::AddPeer(uint32_t address, const std::string& secret) {
  if (address == 0) return Fail("Invalid IP address parameter");
  if (secret.size() > kMaxSecret) return Fail("Invalid secret parameter");
  std::lock_guard<std::mutex> guard(mutex_);
  peers_[address] = {address, std::vector<uint8_t>(secret.begin(), secret.end())};
  return true;
}

void CL2tp::ReplaceUsers(const std::vector<L2tpUser>& users) {
  std::map<std::string, L2tpUser> fresh;
  for (const L2tpUser& user : users) fresh[user.name] = user;
  std::lock_guard<std::mutex> guard(mutex_);
  users_.swap(fresh);
}

void CL2tp::ReplacePeers(const std::vector<L2tpPeer>& peers) {
  std::map<uint32_t, L2tpPeer> fresh;
  for (const L2tpPeer& peer : peers) fresh[peer.address] = peer;
  std::lock_guard<std::mutex> guard(mutex_);
  peers_.swap(fresh);
}

std::optional<L2tpUser> CL2tp::FindUser(const std::string& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = users_.find(name);
  if (found == users_.end()) return std::nullopt;
  return found->second;
}

std::optional<L2tpPeer> CL2tp::FindPeer(uint32_t address) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = peers_.find(address);
  if (found == peers_.end()) return std::nullopt;
  return found->second;
}

bool CL2tp::Start() {
  L2tpParams params;
  bool initialized;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    initialized = initialized_;
    params = params_;
  }
  if (!initialized) return Fail("Server was not initialized with valid parameters");
  if (IsRunning()) return true;
  Join();  // the thread of the previous run has ended
  if (params.window) messages_ = std::make_unique<MessageQueue>(params.window);
  port_ = std::make_unique<UdpPort>();
  const uint16_t number = params.port == 0 ? kDefaultPort : static_cast<uint16_t>(params.port);
  if (const int32_t code = port_->Bind(params.bindAddress, number); code != 0) {
    port_.reset();
    return Fail("Failed to open UDP socket: " + SocketErrorText(code));
  }
  bound_port_ = port_->local_port();
  const int receive_buffer = port_->SizeReceiveBuffer();
  if (params.debugLevel >= 3) {
    Report("L2tp LNS receive buffer of " + std::to_string(receive_buffer) + " bytes");
  }
  if (params.hostName.empty()) params.hostName = MachineHostName();
  stop_requested_ = false;
  running_ = 1;
  thread_ = std::thread([this, params]() mutable { Run(*port_, std::move(params)); });
  pthread_setname_np(thread_.native_handle(), "l2tp-lns");
  return true;
}

void CL2tp::Stop() {
  if (!IsRunning()) return;
  stop_requested_ = true;
  port_->Wake();
}

void CL2tp::Run(UdpPort& port, L2tpParams params) {
  ServerLog log(
      clock_, [this](std::string line) { Report(std::move(line)); },
      [this](const std::string& error) {
        std::lock_guard<std::mutex> guard(mutex_);
        last_error_ = error;
      });
  PortTransport transport(port);
  ServerContext server{clock_,
                       log,
                       transport,
                       TimerService(clock_),
                       AddressPool(params.poolStart, params.poolSize),
                       params.hostName,
                       params.limits,
                       [this](uint32_t address) { return FindPeer(address); },
                       nullptr};
  PppServer ppp{.timers = server.timers,
                .log = log,
                .host_name = params.hostName,
                .local_address = params.localAddress,
                .delivery_header = params.qosHeader,
                .header_pid = params.headerPid,
                .header_address = params.headerAddress,
                .deliver = params.callback,
                .password_of = [this](const std::string& name) -> std::optional<std::string> {
                  std::optional<L2tpUser> user = FindUser(name);
                  if (!user) return std::nullopt;
                  std::optional<std::string> password = user->password;
                  Wipe(user->password);
                  return password;
                },
                .random_bytes = server.random_bytes,
                .logins = &logins_};
  server.link_factory = [&ppp](CSession& session) {
    return std::make_unique<SessionPpp>(session, ppp);
  };
  std::string end;
  {
    CTunnelList tunnels(server);
    Report("L2tp LNS server started");
    bool shutting_down = false, terminate = false;
    DatagramBatch received(kReceiveSize);
    while (end.empty()) {
      tunnel_count_ = tunnels.count();
      session_count_ = tunnels.session_count();
      server.timers.RunDue();
      tunnels.Reap();
      if (shutting_down && tunnels.count() == 0) end = "L2tp LNS server was finally stopped";
      if (terminate) end = "L2tp LNS server was terminated";
      if (!end.empty()) break;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(server.timers.WaitTime());
      const UdpPort::Wait woke = port.WaitFor(wait);
      if (woke == UdpPort::Wait::kWoken) {
        port.ClearWake();
        if (!stop_requested_ || shutting_down) continue;
        if (tunnels.count() == 0) {
          end = "L2tp LNS server was stopped";
          break;
        }
        tunnels.ShutdownAll("Server shutdown");
        Report("L2tp LNS server shutdown is initiated");
        server.timers.Create(kShutdownGrace, [&terminate] { terminate = true; });
        shutting_down = true;
      } else if (woke == UdpPort::Wait::kReadable) {
        port.ReceiveBatch(received);
        for (size_t i = 0; i < received.size(); ++i) {
          tunnels.HandleDatagram(received[i], received.from(i));
        }
        if (params.burstEnd) params.burstEnd();
      }
    }
  }
  tunnel_count_ = 0;
  session_count_ = 0;
  Report(end);
  if (messages_) messages_->Flush();
  running_ = 0;
}

}  // namespace velmora::l2tp
