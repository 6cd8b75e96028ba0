#pragma once

#include <atomic>
#include <functional>

#include "remote/command_interpreter.h"
#include "remote/remote_host.h"
#include "remote/remote_server.h"

namespace velmora {

class ControlLoop;
class Log;
class ServiceController;
class StatusRefresher;
struct Settings;
struct StatusCounters;

// The remote control inside the router: answers the commands' requests of the router (the
// service commands run on the control loop, the session waiting for them), and opens, reopens
// and closes the listener as the settings say. Refresh and Shutdown run on the control thread;
// the RemoteHost calls come from the session threads.
class RemoteControl final : public RemoteHost {
 public:
  struct Parts {
    Settings& settings;
    ControlLoop& loop;
    ServiceController& controller;
    StatusRefresher& refresher;
    StatusCounters& counters;
    RemoteData data;
    Log& log;
    std::function<void()> reset_counters;  // on the control thread
    std::function<void()> kill;            // posts the exit, returns at once
  };

  explicit RemoteControl(const Parts& parts);

  // At start-up and at every service start: opens the listener when RemoteControlOn is set and it
  // does not run, or runs with another port or bind address; closes it when the setting is off.
  void Refresh();
  // At exit, after the control loop has ended.
  void Shutdown() { server_.Shutdown(); }
  RemoteServer& server() { return server_; }

  bool ServiceRunning() override;
  bool StartService() override;
  bool StopService() override;
  void ResetCounters() override;
  void Kill() override { parts_.kill(); }
  StreamFigures Streams() override;

 private:
  ListenerConfig CurrentConfig();

  Parts parts_;
  std::atomic<bool> human_{false};
  CommandInterpreter interpreter_;
  RemoteServer server_;
};

}  // namespace velmora
