#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "testing/network_namespace.h"

namespace velmora::testing {

// A second namespace at the far end of a veth pair whose near end is in a test's namespace: a
// real kernel there stands for the network that the near end faces. The near end `near_name`
// gets `near_address`, the far end far0 gets `far_address` (both with their prefix, such as
// "10.20.0.1/24"); the far kernel's IPv6 is off so that its announcements stay out of the way.
// Deleted, with whatever still runs in it, on destruction.
class FarNamespace {
 public:
  FarNamespace(const NetworkNamespace& near, const std::string& near_name,
               const std::string& near_address, const std::string& far_address)
      : name_(near.name() + "-far") {
    ok_ = std::system(("ip netns add " + name_).c_str()) == 0 &&
          near.Run("ip link add " + near_name + " type veth peer name far0 netns " + name_ +
                   " && ip addr add " + near_address + " dev " + near_name + " && ip link set " +
                   near_name + " up") == 0 &&
          Run("ip link set lo up && ip link set far0 addrgenmode none && sysctl -qw "
              "net.ipv6.conf.far0.disable_ipv6=1 && ip addr add " +
              far_address + " dev far0 && ip link set far0 up") == 0;
  }
  ~FarNamespace() {
    std::system(("ip netns pids " + name_ + " | xargs -r kill -9; ip netns del " + name_).c_str());
  }
  FarNamespace(const FarNamespace&) = delete;
  FarNamespace& operator=(const FarNamespace&) = delete;

  bool ready() const { return ok_; }
  const std::string& name() const { return name_; }
  // A shell command in the far namespace; its exit status.
  int Run(const std::string& command) const {
    return std::system(("ip netns exec " + name_ + " sh -c '" + command + "'").c_str());
  }
  // What a shell command in the far namespace prints, standard error included.
  std::string Output(const std::string& command) const {
    std::string text;
    if (FILE* pipe =
            ::popen(("ip netns exec " + name_ + " sh -c '" + command + "' 2>&1").c_str(), "r")) {
      char buffer[512];
      while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
      ::pclose(pipe);
    }
    return text;
  }

 private:
  std::string name_;
  bool ok_ = false;
};

}  // namespace velmora::testing
