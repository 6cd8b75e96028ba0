#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "remote/remote_commands.h"
#include "remote/remote_host.h"
#include "tables/table_prompts.h"

namespace velmora {

class Log;

// Where a session's replies go: its connection, or a test's buffer.
class ReplyChannel {
 public:
  virtual ~ReplyChannel() = default;
  virtual void Send(std::string_view bytes) = 0;
};

// What the interpreter keeps of one session.
struct SessionState {
  bool master = false;
  bool quit = false;
};

// Runs the remote-control command lines: normalises a line, checks the command, its permission and
// its parameter count, handles QUIT, EXIT and HELP, and carries out every other command against
// the host, the tables and the statistics, answering in human or machine mode as the shared flag
// says at the moment of each reply. One instance serves every session; the session threads call
// it concurrently (it keeps no state of its own besides the shared flag).
class CommandInterpreter {
 public:
  static constexpr std::string_view kGreeting =
      "Velmora Remote Control session has initialized.\r\nType HELP for commands list.\r\n\r\n";
  static constexpr std::string_view kPrompt = "VelmoraRC> ";

  CommandInterpreter(RemoteHost& host, RemoteData data, std::atomic<bool>& human, Log& log);

  // One line as received (without its line feed).
  void Execute(std::string_view received, SessionState& session, ReplyChannel& out);
  // A line longer than the reader keeps: answered as a line that names no command.
  void ExecuteOverlong(SessionState& session, ReplyChannel& out);

  bool human() const { return human_.load(std::memory_order_relaxed); }
  void set_human(bool human) { human_.store(human, std::memory_order_relaxed); }
  // The flag itself, for the echo of the sessions' line readers.
  const std::atomic<bool>& human_flag() const { return human_; }
  // The human text in human mode; else the machine text unless it is empty.
  void Reply(ReplyChannel& out, std::string_view human, std::string_view machine) const;

 private:
  // The checks before the dispatcher; true when the command is to be carried out.
  bool Admit(const CommandLine& command, SessionState& session, ReplyChannel& out);
  void LogCommand(const CommandLine& command);
  void Dispatch(const CommandLine& command, ReplyChannel& out);
  void ServiceCommand(int command, ReplyChannel& out);
  void AddSubnet(const CommandLine& command, ReplyChannel& out);
  void DeleteSubnet(const std::string& alias, ReplyChannel& out);
  void AddRow(const CommandLine& command, ReplyChannel& out);
  void DeleteRow(const std::string& address, ReplyChannel& out);
  void DeleteRowsOfSubnet(const std::string& address, ReplyChannel& out);
  void ListSubnets(ReplyChannel& out);
  void ShowSubnet(int command, const std::string& ordinal, ReplyChannel& out);
  void ShowStreams(int command, ReplyChannel& out);
  void ShowAddress(int command, const std::string& address, ReplyChannel& out);
  void ShowSummary(int command, ReplyChannel& out);
  void ResetAddress(const std::string& address, ReplyChannel& out);
  void ListAddresses(ReplyChannel& out);
  void AddUser(const CommandLine& command, ReplyChannel& out);
  void AddPeer(const std::string& address, ReplyChannel& out);

  RemoteHost& host_;
  RemoteData data_;
  std::atomic<bool>& human_;
  Log& log_;
  SilentPrompt prompt_;
};

}  // namespace velmora
