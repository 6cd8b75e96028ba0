#include "app/remote_control.h"

#include <arpa/inet.h>

#include "app/control_loop.h"
#include "app/service_controller.h"
#include "app/settings.h"
#include "app/status_refresher.h"
#include "platform/address_text.h"
#include "stats/status_counters.h"
#include "support/log.h"

namespace velmora {

RemoteControl::RemoteControl(const Parts& parts)
    : parts_(parts),
      interpreter_(*this, parts.data, human_, parts.log),
      server_(interpreter_, parts.log,
              [&refresher = parts.refresher](int value) { refresher.ShowRemoteLamp(value); }) {}

ListenerConfig RemoteControl::CurrentConfig() {
  ListenerConfig config{.port = parts_.settings.RemoteControlPort,
                        .allow = parts_.settings.RemoteControlAllow.get()};
  const std::string bind = parts_.settings.RemoteControlBind.get();
  if (!bind.empty()) {
    in_addr address{};
    if (::inet_pton(AF_INET, bind.c_str(), &address) == 1) {
      config.bind_address = address.s_addr;
    } else {
      // A restriction that cannot be read keeps the listener on this host rather than opening it.
      parts_.log << "RemoteControlBind is no IPv4 address: the listener binds 127.0.0.1\n";
      config.bind_address = htonl(INADDR_LOOPBACK);
    }
  }
  return config;
}

void RemoteControl::Refresh() {
  if (parts_.settings.RemoteControlOn != 0) {
    server_.Open(CurrentConfig());
  } else {
    server_.Close();
  }
}

bool RemoteControl::ServiceRunning() {
  return parts_.controller.running();
}

bool RemoteControl::StartService() {
  bool running = false;
  parts_.loop.PostAndWait([this, &running] {
    running = parts_.controller.running() && parts_.controller.menu_running();
    if (!running) parts_.controller.ServiceStart();
  });
  return running;
}

bool RemoteControl::StopService() {
  bool running = false;
  parts_.loop.PostAndWait([this, &running] {
    running = parts_.controller.running();
    if (running) parts_.controller.ServiceStop();
  });
  return running;
}

void RemoteControl::ResetCounters() {
  parts_.loop.PostAndWait(parts_.reset_counters);
}

StreamFigures RemoteControl::Streams() {
  const StatusSnapshot last = parts_.refresher.last();
  const StatusCounters& counters = parts_.counters;
  return {.unicast_packets = counters.unicast_packets.load(),
          .unicast_kbps = last.unicast_kbps,
          .unicast_peak_kbps = last.unicast_peak_kbps,
          .multicast_packets = counters.multicast_packets.load(),
          .multicast_frames = counters.multicast_frames.load(),
          .multicast_kbps = last.multicast_kbps,
          .multicast_peak_kbps = last.multicast_peak_kbps};
}

}  // namespace velmora
