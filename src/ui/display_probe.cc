#include "ui/display_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace velmora::ui {
namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The compositor's socket: WAYLAND_DISPLAY itself when absolute, else in XDG_RUNTIME_DIR.
std::string WaylandSocketPath() {
  const std::string display = Environment("WAYLAND_DISPLAY");
  if (display.empty() || display.front() == '/') return display;
  const std::string runtime = Environment("XDG_RUNTIME_DIR");
  return runtime.empty() ? "" : runtime + "/" + display;
}

bool WaylandAccepts() {
  const std::string path = WaylandSocketPath();
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool accepted = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return accepted;
}

bool XServerAccepts() {
  if (Environment("DISPLAY").empty()) return false;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool accepted = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return accepted;
}

void ChoosePlatform(const char* platform) {
  setenv("QT_QPA_PLATFORM", platform, 0);
}

}  // namespace

bool PrepareDisplay() {
  if (WaylandAccepts()) {
    ChoosePlatform("wayland");
    return true;
  }
  if (XServerAccepts()) {
    ChoosePlatform("xcb");
    return true;
  }
  return false;
}

}  // namespace velmora::ui
