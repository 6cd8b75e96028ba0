// The remote control of the real executable: commands over loopback, the exit by SET KILL with
// many sessions open, and what the next save of velmora.ini keeps of remote changes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "testing/remote_client.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

using testing::RemoteClient;
using testing::RouterRun;

// A TCP port on loopback that nothing holds now.
uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string RemoteIni(uint16_t port, const std::string& more = "") {
  return "[GENERAL]\nRemoteControlOn=1\nRemoteControlPort=" + std::to_string(port) +
         "\nRemoteControlBind=127.0.0.1\nPylonEnable=0\nBouncerEnable=0\nL2tpEnable=0\n"
         "CorvidEnable=0\nTransparentEnable=0\nStatisticEnable=0\nStartListening=0\nLogOn=0\n"
         "LogLevel=3\n" +
         more;
}

TEST(RemoteEndToEnd, ServiceTablesAndListsOverTcpThenKill) {
  RouterRun run("velmora_remote_commands");
  const uint16_t port = FreePort();
  ASSERT_TRUE(run.Start(RemoteIni(port), "Remote Control thread - activated")) << run.Log();
  RemoteClient client(port);
  ASSERT_TRUE(client.connected());
  client.Send("GET RUN\n");
  EXPECT_EQ(client.Read(3), "0\r\n");
  client.Send("SET START\nGET RUN\n");
  EXPECT_EQ(client.Read(3), "1\r\n");
  client.Send("SET NADD lan 10.20.0.0 255.255.0.0 1A\nSET RADD 10.20.0.5 00:11:22:33:44:55\n");
  client.Send("GET UPARA 1\nGET IPMACN 1\n");
  const std::string tables = "10.20.0.0 255.255.0.0 26\r\n10.20.0.5 00-11-22-33-44-55\r\n";
  EXPECT_EQ(client.Read(tables.size()), tables);
  client.Send("SET L2TPUSER Ann PaSs\nSET L2TPPEER 10.9.8.7\nSET STOP\nGET RUN\n");
  EXPECT_EQ(client.Read(3), "0\r\n");
  client.Send("SET DEBUG\nSET START\n");
  const std::string started =
      "*** Velmora *** - Remote Control human mode dialog is on\r\n"
      "VelmoraRC> *** Velmora *** - Service started.\r\nVelmoraRC> ";
  EXPECT_EQ(client.Read(started.size()), started);
  client.Send("SET KILL\n");
  EXPECT_TRUE(client.ClosedByPeer());
  EXPECT_EQ(run.AwaitExit(), 0) << run.Log();
  const std::string ini = testing::ReadAll(run.dir() / "velmora.ini");
  EXPECT_NE(ini.find("Ann=PaSs"), std::string::npos) << ini;
  EXPECT_NE(ini.find("10.9.8.7"), std::string::npos) << ini;
  EXPECT_NE(ini.find("Alias=\"LAN\""), std::string::npos) << ini;
  EXPECT_NE(ini.find("RemoteControlBind=127.0.0.1"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("RemoteControlAllow"), std::string::npos) << ini;
  EXPECT_NE(run.Log().find("Remote command: SET L2TPUSER Ann ********"), std::string::npos);
  EXPECT_EQ(run.Log().find("PaSs"), std::string::npos);
}

TEST(RemoteEndToEnd, SetKillEndsTheRouterWithFiftySessionsOpen) {
  RouterRun run("velmora_remote_kill");
  const uint16_t port = FreePort();
  ASSERT_TRUE(
      run.Start(RemoteIni(port, "StartListening=1\n"), "Remote Control thread - activated"));
  std::vector<std::unique_ptr<RemoteClient>> clients;
  for (int i = 0; i < 50; ++i) {
    clients.push_back(std::make_unique<RemoteClient>(port));
    ASSERT_TRUE(clients.back()->connected());
    clients.back()->Send("GET RUN\n");
    ASSERT_EQ(clients.back()->Read(3).size(), 3u);
  }
  clients.front()->Send("SET KILL\n");
  for (auto& client : clients) EXPECT_TRUE(client->ClosedByPeer());
  EXPECT_EQ(run.AwaitExit(), 0) << run.Log();
}

TEST(RemoteEndToEnd, RemoteControlOffOpensNoListener) {
  RouterRun run("velmora_remote_off");
  const uint16_t port = FreePort();
  std::string ini = RemoteIni(port);
  ini.replace(ini.find("RemoteControlOn=1"), 17, "RemoteControlOn=0");
  ASSERT_TRUE(run.Start(ini, "Corvid name is"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  RemoteClient client(port);
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(run.Stop(), 0);
}

}  // namespace
}  // namespace velmora
