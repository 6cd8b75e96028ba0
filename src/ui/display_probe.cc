#include "ui/display_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
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

// Whether the platform plugin named by one entry of QT_QPA_PLATFORM ("name:options") can start:
// the two that need a display are probed, the others need none.
bool PlatformWorks(const std::string& entry) {
  const std::string name = entry.substr(0, entry.find(':'));
  if (name.starts_with("wayland")) return WaylandAccepts();
  if (name == "xcb") return XServerAccepts();
  return !name.empty();
}

// Whether any platform of a preset QT_QPA_PLATFORM list ("a;b", tried in order) can start.
bool PresetPlatformWorks(const std::string& preset) {
  size_t start = 0;
  while (start <= preset.size()) {
    const size_t end = std::min(preset.find(';', start), preset.size());
    if (PlatformWorks(preset.substr(start, end - start))) return true;
    start = end + 1;
  }
  return false;
}

void ChoosePlatform(const char* platform) {
  setenv("QT_QPA_PLATFORM", platform, 1);
}

}  // namespace

bool PrepareDisplay() {
  const std::string preset = Environment("QT_QPA_PLATFORM");
  if (!preset.empty()) return PresetPlatformWorks(preset);
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
