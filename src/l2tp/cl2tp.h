#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "l2tp/message_queue.h"
#include "l2tp/ppp/ppp.h"
#include "l2tp/server_context.h"
#include "support/clock.h"

namespace velmora {
class UdpPort;
}

namespace velmora::l2tp {

// Receives every IPv4 packet a user sends (with the 22-byte delivery header when asked for);
// the bytes are valid during the call only. Runs on the server thread.
using L2tpPacketCallback = IpPacketCallback;

// The longest datagram the server receives, and so the longest packet it delivers: that
// datagram's payload behind the delivery header.
inline constexpr size_t kReceiveSize = 4096;
inline constexpr size_t kMaxDeliveredPacket = kReceiveSize + kDeliveryHeaderSize;

// The server's parameters. Addresses in network order.
struct L2tpParams {
  bool qosHeader = false;
  uint16_t headerPid = 0;
  uint32_t headerAddress = 0;
  std::string hostName;                            // empty: the machine's host name
  uint32_t port = 0;                               // 0: 1701
  std::function<void(const std::string&)> window;  // receiver of the server's texts
  L2tpPacketCallback callback;                     // absent: IP packets are dropped
  // After the packets of one read burst were delivered; on the server thread.
  std::function<void()> burstEnd;
  uint32_t dns1 = 0, dns2 = 0, nbns1 = 0, nbns2 = 0;
  uint32_t localAddress = 0;
  uint32_t poolStart = 0;
  uint32_t poolSize = 0;
  uint32_t debugLevel = 0;
  uint32_t bindAddress = 0;  // any local address
  ServerLimits limits;
};

struct L2tpUser {
  std::string name;
  std::string password;
};

// The L2TP network server: its parameters, users and peers under one lock, and the server thread
// that runs every tunnel on one UDP socket. One object per process. Any thread may call the
// interface; the protocol runs on the server thread, which takes the lock only to look up users
// and peers (copies, so that a record replaced meanwhile never changes under it).
class CL2tp {
 public:
  explicit CL2tp(Clock& clock = RealClock());
  ~CL2tp();
  CL2tp(const CL2tp&) = delete;
  CL2tp& operator=(const CL2tp&) = delete;

  bool SetParameters(const L2tpParams& params);
  bool AddUser(const std::string& name, const std::string& password);
  bool AddPeer(uint32_t address, const std::string& secret = "");
  // The whole lists at once, for an application whose operator removed entries.
  void ReplaceUsers(const std::vector<L2tpUser>& users);
  void ReplacePeers(const std::vector<L2tpPeer>& peers);
  // Opens the socket and starts the server thread; false with the reason as the last error.
  bool Start();
  // Asks the server to end: tunnels get StopCCN, and the thread ends within 2 s.
  void Stop();
  // Waits until the server thread of the last run has ended.
  void Wait() { Join(); }
  bool IsRunning() const { return running_ > 0; }
  size_t GetTunnelCount() const { return tunnel_count_; }
  size_t GetSessionCount() const { return session_count_; }
  // Logins since the object was made, over all runs.
  uint64_t GetLoginsAccepted() const { return logins_.accepted; }
  uint64_t GetLoginsRefused() const { return logins_.refused; }
  uint16_t port() const { return bound_port_; }

  std::optional<L2tpUser> FindUser(const std::string& name) const;
  std::optional<L2tpPeer> FindPeer(uint32_t address) const;
  std::string LastError() const;

 private:
  void Report(std::string text);
  bool Fail(const std::string& text);
  void Run(UdpPort& port, L2tpParams params);
  void Join();

  Clock& clock_;
  mutable std::mutex mutex_;
  L2tpParams params_;
  bool initialized_ = false;
  std::map<std::string, L2tpUser> users_;
  std::map<uint32_t, L2tpPeer> peers_;
  std::string last_error_;
  std::unique_ptr<MessageQueue> messages_;
  std::unique_ptr<UdpPort> port_;  // of the last run; kept until the next Start
  std::atomic<int> running_{0};
  std::atomic<size_t> tunnel_count_{0};
  std::atomic<size_t> session_count_{0};
  LoginCounts logins_;
  std::atomic<uint16_t> bound_port_{0};
  std::atomic<bool> stop_requested_{false};
  std::thread thread_;
  static std::atomic<int> instances_;
};

}  // namespace velmora::l2tp
