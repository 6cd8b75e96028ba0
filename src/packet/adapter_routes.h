#pragma once

namespace velmora {

// What the virtual-adapter source asks of route management: the probe that finds the adapter
// and sets its routes at the start, and their removal at the stop. Called on the control thread.
class AdapterRoutes {
 public:
  virtual ~AdapterRoutes() = default;
  // True when the adapter was found and its routes were attempted.
  virtual bool ProbeCorvidAdapter() = 0;
  // Removes the routes the probe set and restores what it replaced.
  virtual void RemoveCorvidRoutes() = 0;
};

}  // namespace velmora
