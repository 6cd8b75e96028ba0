#include "platform/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/file_system.h"

namespace velmora {

std::string AutostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/autostart";
}

std::string AutostartDesktopText(const AutostartEntry& entry) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Velmora\n"
         "Comment=IP router in front of a DVB/DAB data inserter\n"
         "Exec=" +
         entry.command_line + "\nPath=" + entry.working_folder +
         "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

bool SetAutoRun(int on, const AutostartEntry& entry, const std::string& folder) {
  const std::string path = folder + "/velmora.desktop";
  if (on == 0) return unlink(path.c_str()) == 0;
  // Parents first: ~/.config may be missing on a fresh account.
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    mkdir(folder.substr(0, slash).c_str(), 0755);
  }
  mkdir(folder.c_str(), 0755);
  PosixFileSystem files;
  return files.WriteFileAtomically(path, AutostartDesktopText(entry));
}

}  // namespace velmora
