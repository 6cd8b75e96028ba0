#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// What a table change asks of the system's routes and ARP cache. The tables call it after the
// change is published; the implementation that drives the system arrives with the routes.
class RouteHooks {
 public:
  virtual ~RouteHooks() = default;
  // Routes for one subnet through the virtual adapter, kept only when the adapter is not the
  // default route. Addresses in network byte order.
  virtual void AddSubnetRoute(uint32_t address, uint32_t mask) = 0;
  virtual void DeleteSubnetRoute(uint32_t address) = 0;
  virtual void DropArpEntry(const std::string& address_text) = 0;
};

// Leaves the system as it is.
class NoRouteHooks final : public RouteHooks {
 public:
  void AddSubnetRoute(uint32_t, uint32_t) override {}
  void DeleteSubnetRoute(uint32_t) override {}
  void DropArpEntry(const std::string&) override {}
};

}  // namespace velmora
