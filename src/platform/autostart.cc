#include "platform/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string_view>

#include "platform/file_system.h"

namespace velmora {

namespace {

// An Exec argument: as it is when it holds no reserved character, otherwise in double quotes
// with ", `, $ and \ escaped by a backslash. A literal % is written %%, as field codes use %.
std::string ExecArgument(const std::string& argument) {
  constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
  const bool quote = argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
  std::string text = quote ? "\"" : "";
  for (char c : argument) {
    if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) text += '\\';
    text += c;
    if (c == '%') text += '%';
  }
  return quote ? text + '"' : text;
}

// A value of the string type: backslash, newline, tab and carriage return escaped.
std::string StringValue(std::string_view value) {
  std::string text;
  for (char c : value) {
    switch (c) {
      case '\\':
        text += "\\\\";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\r':
        text += "\\r";
        break;
      default:
        text += c;
    }
  }
  return text;
}

}  // namespace

std::string ExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return length > 0 && static_cast<size_t>(length) < sizeof path
             ? std::string(path, static_cast<size_t>(length))
             : std::string();
}

std::string AutostartFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/autostart";
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/autostart";
}

std::string AutostartDesktopText(const AutostartEntry& entry) {
  std::string exec;
  for (const std::string& argument : entry.command) {
    if (!exec.empty()) exec += ' ';
    exec += ExecArgument(argument);
  }
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Velmora\n"
         "Comment=IP router in front of a DVB/DAB data inserter\n"
         "Exec=" +
         StringValue(exec) + "\nPath=" + StringValue(entry.working_folder) +
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
