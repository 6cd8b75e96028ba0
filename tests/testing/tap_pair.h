#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/namespace_test.h"

namespace velmora::testing {

// Two namespaces of the test's own joined by a veth pair: the test's thread sits in the near one,
// whose end tap0 (10.20.0.1/24, fd00::1/64) is the adapter a tap is put on; the far one, with
// far0 (10.20.0.2/24 and a route for multicast), stands for the network with a real kernel. The
// far kernel speaks IPv6 (as fd00::2) only where a test turns it on, so that its own
// announcements do not mix with the frames a test counts. Both are removed at the end.
class TapPairTest : public NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    far_ = namespace_->name() + "-far";
    ASSERT_EQ(std::system(("ip netns add " + far_).c_str()), 0);
    ASSERT_EQ(Run("ip link add tap0 type veth peer name far0 netns " + far_ +
                  " && ip addr add 10.20.0.1/24 dev tap0 && ip -6 addr add fd00::1/64 dev tap0 "
                  "nodad && ip link set tap0 up"),
              0);
    ASSERT_EQ(Far("ip link set lo up && ip link set far0 addrgenmode none && sysctl -qw "
                  "net.ipv6.conf.far0.disable_ipv6=1 && ip addr add 10.20.0.2/24 dev far0 && "
                  "ip link set far0 up && ip route add 224.0.0.0/4 dev far0"),
              0);
  }
  void TearDown() override {
    if (!far_.empty()) {
      std::system(("ip netns pids " + far_ + " | xargs -r kill -9; ip netns del " + far_).c_str());
    }
  }

  void TurnOnFarIpv6() const {
    ASSERT_EQ(Far("sysctl -qw net.ipv6.conf.far0.disable_ipv6=0 && ip -6 addr add fd00::2/64 dev "
                  "far0 nodad"),
              0);
  }
  // A shell command in the far namespace; its exit status.
  int Far(const std::string& command) const {
    return std::system(("ip netns exec " + far_ + " sh -c '" + command + "'").c_str());
  }
  // What a command in the far namespace printed, with its errors.
  std::string FarOutput(const std::string& command) const {
    std::string text;
    if (FILE* pipe = ::popen(("ip netns exec " + far_ + " " + command + " 2>&1").c_str(), "r")) {
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
      ::pclose(pipe);
    }
    return text;
  }
  // A UDP datagram with `payload` (no blanks) that the far kernel sends to `destination`:`port`,
  // IPv4 or IPv6.
  void SendUdpFromFar(const std::string& destination, uint16_t port,
                      const std::string& payload) const {
    ASSERT_EQ(std::system(("ip netns exec " + far_ + " bash -c 'printf %s " + payload +
                           " > /dev/udp/" + destination + "/" + std::to_string(port) + "'")
                              .c_str()),
              0);
  }

  std::string far_;
};

}  // namespace velmora::testing
