#pragma once

#include <chrono>
#include <string_view>

namespace velmora {

// How long the control thread lets threads that a source launched, or a stop, settle before it
// goes on.
inline constexpr auto kSourceSettleTime = std::chrono::milliseconds(200);

// One source of the packet path as the service controller drives it. The controller calls every
// phase from the control thread, in the order of a service start (OpenDriver, Launch) and of a
// service stop (Wake, Close, Join); a source enabled at the start gets every phase of that run.
class ServiceSource {
 public:
  virtual ~ServiceSource() = default;
  virtual std::string_view name() const = 0;
  // Whether the settings enable the source now.
  virtual bool Enabled() const = 0;
  // Opens the source's driver and registers its events; a failure is logged and the source then
  // launches nothing in this run.
  virtual void OpenDriver() {}
  // Launches the source's threads. May throw cerrorcode, which ends the service start there.
  virtual void Launch() = 0;
  // The running flag is 0: wakes every thread of the source so that it sees it.
  virtual void Wake() {}
  // Stops the source's server, removes what it set up and closes its driver.
  virtual void Close() {}
  // Waits for the source's threads to end; after it no thread of this run touches the source.
  virtual void Join() {}
};

}  // namespace velmora
