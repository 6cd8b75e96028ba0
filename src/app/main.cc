// velmora: the router. Runs headless (the console on standard output) when no display is
// available or --headless is given; SIGINT and SIGTERM end it as the Exit menu does.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "app/router.h"
#include "app/signal_watcher.h"
#include "platform/file_system.h"
#include "support/log.h"
#include "support/operator_prompt.h"

namespace {

std::string CommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i > 0) line += ' ';
    line += '"';
    for (const char* c = argv[i]; *c != '\0'; ++c) {
      if (*c == '"' || *c == '\\' || *c == '`' || *c == '$') line += '\\';
      line += *c;
    }
    line += '"';
  }
  return line;
}

std::string CurrentFolder() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
}

int Usage(std::FILE* out, int result) {
  std::fprintf(
      out,
      "usage: velmora [--headless]\n"
      "Runs the router in the current folder (velmora.ini, velmora.log1/2, velmora.lock).\n"
      "  --headless  no window: the console goes to standard output\n");
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) continue;
    if (std::strcmp(argv[i], "--help") == 0) return Usage(stdout, 0);
    std::fprintf(stderr, "velmora: unknown argument %s\n", argv[i]);
    return Usage(stderr, 2);
  }
  velmora::SignalWatcher::BlockSignals();
  velmora::Log log;
  velmora::StreamConsole console(stdout);
  velmora::LoggingPrompt prompt(log);
  log.SetConsoleTarget(&console);
  log.SetPrompt(&prompt);
  velmora::PosixFileSystem files;
  velmora::Router router(
      files, velmora::RealClock(), log, prompt,
      {.command_line = CommandLine(argc, argv), .working_folder = CurrentFolder()});
  log << "Velmora Service in " << CurrentFolder() << ", headless\n";
  velmora::SignalWatcher signals([&router] { router.Close(false); });
  return router.Run();
}
