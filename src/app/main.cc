// velmora: the router. Shows its window when a display can be opened; runs headless (the console
// on standard output) when none can or --headless is given. SIGINT and SIGTERM end it as the
// remote control's kill does.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/router.h"
#include "app/signal_watcher.h"
#include "platform/autostart.h"
#include "platform/file_system.h"
#include "platform/instance_lock.h"
#include "platform/service_manager.h"
#include "support/log.h"
#include "support/operator_prompt.h"
#ifdef VELMORA_WITH_UI
#include "ui/display_probe.h"
#include "ui/window_session.h"
#endif

namespace {

// How the router was started, for its autostart entry: the program's absolute path (argv[0] can
// be relative to a folder a session does not start in), then the arguments.
std::vector<std::string> CommandLine(int argc, char** argv) {
  std::string program = velmora::ExecutablePath();
  if (program.empty()) program = argv[0];
  std::vector<std::string> command{program};
  command.insert(command.end(), argv + 1, argv + argc);
  return command;
}

std::string CurrentFolder() {
  char buffer[4096];
  return getcwd(buffer, sizeof buffer) != nullptr ? buffer : ".";
}

// Tells why the router cannot start in this folder; the process's result.
int RefuseStart(const velmora::InstanceLock& lock, const velmora::RouterOptions& options,
                velmora::OperatorPrompt& prompt) {
  if (lock.state() == velmora::InstanceLock::State::kBusy) {
    prompt.Ask({.title = "Velmora Service",
                .text = "Already running!",
                .icon = velmora::PromptIcon::kError});
    return 0;
  }
  prompt.Ask({.title = "Velmora Service",
              .text = "Cannot create the lock file " + options.lock_file + " in " +
                      options.working_folder + " (" + std::strerror(lock.error()) +
                      "): the router needs a folder it can write to.",
              .icon = velmora::PromptIcon::kError});
  return 1;
}

int Usage(std::FILE* out, int result) {
  std::fprintf(
      out,
      "usage: velmora [--headless]\n"
      "Runs the router in the current folder (velmora.ini, velmora.log1/2, velmora.lock).\n"
      "  --headless  no window: the console goes to standard output\n");
  return result;
}

// The router from its start-up to its exit, `run` driving its control loop; the process's result.
int RunRouter(velmora::Log& log, velmora::OperatorPrompt& prompt,
              const velmora::RouterOptions& options, const char* mode,
              const std::function<int(velmora::Router&)>& run) {
  log.SetPrompt(&prompt);
  velmora::PosixFileSystem files;
  velmora::Router router(files, velmora::RealClock(), log, prompt, options);
  log << "Velmora Service in " << CurrentFolder() << mode << "\n";
  velmora::SignalWatcher signals([&router] { router.Close(false); });
  return run(router);
}

}  // namespace

int main(int argc, char** argv) {
  [[maybe_unused]] bool headless = false;  // a build without the window is always headless
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      headless = true;
      continue;
    }
    if (std::strcmp(argv[i], "--help") == 0) return Usage(stdout, 0);
    std::fprintf(stderr, "velmora: unknown argument %s\n", argv[i]);
    return Usage(stderr, 2);
  }
  velmora::Log log;
  // Under systemd each line carries its level as a syslog priority for the journal.
  velmora::StreamConsole console(stdout, velmora::OutputGoesToJournal());
  velmora::LoggingPrompt prompt(log);
  log.SetConsoleTarget(&console);
  log.SetPrompt(&prompt);
  velmora::SystemdServiceManager service_manager;
  const velmora::RouterOptions options{.command_line = CommandLine(argc, argv),
                                       .working_folder = CurrentFolder(),
                                       .service_manager = &service_manager,
                                       .started_as_unit = velmora::StartedAsUnit()};
  // Before any thread exists and while SIGINT and SIGTERM still end the process at once: a
  // refused copy has nothing to save, and its message never waits for a signal.
  const velmora::InstanceLock lock(options.lock_file);
#ifdef VELMORA_WITH_UI
  if (!headless && velmora::ui::PrepareDisplay()) {
    if (!lock.held()) {
      velmora::ui::WindowSession session(argc, argv);
      return RefuseStart(lock, options, session.prompt());
    }
    // Before the toolkit starts threads of its own, so that none of them takes a signal.
    velmora::SignalWatcher::BlockSignals();
    velmora::ui::WindowSession session(argc, argv);
    const int result = RunRouter(log, session.prompt(), options, "",
                                 [&](velmora::Router& router) { return session.Run(router, log); });
    log.SetConsoleTarget(&console);
    return result;
  }
#endif
  if (!lock.held()) return RefuseStart(lock, options, prompt);
  velmora::SignalWatcher::BlockSignals();
  return RunRouter(log, prompt, options, ", headless",
                   [](velmora::Router& router) { return router.Run(); });
}
