#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/address_text.h"
#include "platform/network_links.h"
#include "tables/mac_address.h"
#include "testing/namespace_test.h"

namespace velmora::testing {

inline constexpr const char* kAdapterAlias = "Tessaro Corvid Emulation Driver.";
inline constexpr auto kPatience = std::chrono::seconds(5);

template <typename Condition>
bool Eventually(const Condition& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A UDP socket of the namespace that sends into the adapter's subnets with don't-fragment off,
// as the hosts that route through the adapter do.
class RoutedSender {
 public:
  RoutedSender() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    const int discovery = IP_PMTUDISC_DONT;
    EXPECT_EQ(::setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &discovery, sizeof discovery), 0);
  }
  ~RoutedSender() { ::close(fd_); }
  void Send(const std::string& destination, uint16_t port, const std::string& bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = DottedToAddress(destination);
    EXPECT_EQ(
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(bytes.size()));
  }

 private:
  int fd_;
};

// A namespace of the test's own with the virtual adapter installed by its script, and a socket
// inside it that sends into the subnets routed through the adapter.
class AdapterNamespaceTest : public NamespaceTest {
 protected:
  void SetUp() override {
    NamespaceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(Run(std::string(CORVID_ADAPTER_SCRIPT) + " add >/dev/null"), 0);
    // Made here, inside the namespace: what it sends stays there.
    sender_ = std::make_unique<RoutedSender>();
  }
  void TearDown() override { sender_.reset(); }
  // One ARP request per address, without the kernel's retries, so that the frames are counted.
  void AskOnce() { ASSERT_EQ(Run("echo 1 > /proc/sys/net/ipv4/neigh/corvid0/mcast_solicit"), 0); }
  MacAddress AdapterMac() const {
    MacAddress mac{};
    for (const NetworkLink& link : ListNetworkLinks().value_or(std::vector<NetworkLink>{})) {
      if (link.name == "corvid0" && link.hardware_address.size() == 6) {
        std::copy_n(link.hardware_address.begin(), 6, mac.begin());
      }
    }
    return mac;
  }

  std::unique_ptr<RoutedSender> sender_;
};

}  // namespace velmora::testing
