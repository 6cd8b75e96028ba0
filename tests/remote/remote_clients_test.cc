// The remote-control server against clients written elsewhere: socat, and Debian's telnet under
// tmux in line and in character mode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <thread>

#include "remote/remote_server.h"
#include "testing/remote_rig.h"

namespace velmora {
namespace {

using std::chrono::milliseconds;

// What a shell command writes to its standard output.
std::string Output(const std::string& command) {
  std::string text;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return text;
  std::array<char, 4096> buffer{};
  for (size_t n; (n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
    text.append(buffer.data(), n);
  }
  ::pclose(pipe);
  return text;
}

bool Installed(const std::string& program) {
  return !Output("command -v " + program).empty();
}

class RemoteClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK)});
    ASSERT_TRUE(server.listening());
    port = std::to_string(server.port());
  }

  testing::RemoteRig rig;
  RemoteServer server{rig.interpreter, rig.log, nullptr};
  std::string port;
};

TEST_F(RemoteClientsTest, SocatInMachineAndHumanMode) {
  if (!Installed("socat")) GTEST_SKIP() << "socat is not installed (scripts/install-deps)";
  EXPECT_EQ(
      Output("printf 'GET RUN\\nGET UNUM\\nQUIT\\n' | timeout 10 socat - TCP:127.0.0.1:" + port),
      "0\r\n0\r\n");
  // One command at a time, so that the echo of human mode shows each line.
  const std::string human = Output(
      "(printf 'SET DEBUG\\n'; sleep 0.3; printf 'get run\\n'; sleep 0.3; printf "
      "'QUIT\\n') | timeout 10 socat - TCP:127.0.0.1:" +
      port);
  EXPECT_EQ(human,
            "*** Velmora *** - Remote Control human mode dialog is on\r\nVelmoraRC> get run\n"
            "*** Velmora *** - State: Stopped.\r\nVelmoraRC> QUIT\n");
}

// Debian's telnet in a tmux pane of a tmux server of this test's own.
class TelnetPane {
 public:
  explicit TelnetPane(const std::string& port)
      : tmux_("tmux -L velmora_remote_" + std::to_string(::getpid()) + " ") {
    Output(tmux_ + "new-session -d -s rc -x 160 -y 50 'telnet 127.0.0.1 " + port + "'");
  }
  ~TelnetPane() { Output(tmux_ + "kill-server 2>/dev/null"); }
  void Keys(const std::string& keys) { Output(tmux_ + "send-keys -t rc " + keys); }
  std::string Screen() { return Output(tmux_ + "capture-pane -p -t rc -S -100 2>/dev/null"); }
  // Waits up to five seconds for `text` to appear `times` times on the screen.
  bool Shows(const std::string& text, int times = 1) {
    for (int i = 0; i < 100; ++i) {
      const std::string screen = Screen();
      int count = 0;
      for (size_t at = screen.find(text); at != std::string::npos; at = screen.find(text, at + 1)) {
        ++count;
      }
      if (count >= times) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }

 private:
  std::string tmux_;
};

TEST_F(RemoteClientsTest, TelnetUnderTmuxInLineAndCharacterMode) {
  if (!Installed("telnet") || !Installed("tmux")) {
    GTEST_SKIP() << "telnet or tmux is not installed (scripts/install-deps)";
  }
  TelnetPane pane(port);
  ASSERT_TRUE(pane.Shows("Escape character is")) << pane.Screen();
  pane.Keys("'SET DEBUG' Enter");
  ASSERT_TRUE(pane.Shows("human mode dialog is on")) << pane.Screen();
  pane.Keys("'get run' Enter");
  EXPECT_TRUE(pane.Shows("*** Velmora *** - State: Stopped.")) << pane.Screen();
  // Character mode: every key goes alone, Enter as CR NUL, Backspace as DEL.
  pane.Keys("C-] 'mode character' Enter");
  std::this_thread::sleep_for(milliseconds(300));
  pane.Keys("'GET RUX' BSpace 'N' Enter");
  EXPECT_TRUE(pane.Shows("*** Velmora *** - State: Stopped.", 2)) << pane.Screen();
  pane.Keys("'SET START' Enter");
  EXPECT_TRUE(pane.Shows("*** Velmora *** - Service started.")) << pane.Screen();
  EXPECT_TRUE(rig.host.running);
  pane.Keys("'HELP' Enter");
  EXPECT_TRUE(pane.Shows("GET LISTIPSTAT")) << pane.Screen();
  pane.Keys("'QUIT' Enter");  // the session ends, and telnet with its pane
  for (int i = 0; i < 100 && server.session_count() > 0; ++i) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_EQ(server.session_count(), 0u);
  EXPECT_EQ(rig.console.Count("Remote command: GET RUN"), 2);
}

}  // namespace
}  // namespace velmora
