#include "remote/remote_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "testing/remote_cases.h"
#include "testing/remote_client.h"
#include "testing/remote_rig.h"

namespace velmora {
namespace {

using std::chrono::milliseconds;
using testing::RemoteClient;
using testing::RemoteRig;

constexpr std::string_view kNotAllowed = "*** Velmora *** - NOT ALLOWED IN THIS STATE\r\n";
constexpr std::string_view kUnknown = "?UNKNOWN COMMAND\r\n";

class RemoteServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK)}); }
  void Open(const ListenerConfig& config) {
    server.Open(config);
    ASSERT_TRUE(server.listening());
  }
  std::unique_ptr<RemoteClient> Connect() {
    auto client = std::make_unique<RemoteClient>(server.port());
    EXPECT_TRUE(client->connected());
    return client;
  }
  // Waits until the server counts `count` sessions.
  bool SessionsAre(size_t count) {
    for (int i = 0; i < 500; ++i) {
      if (server.session_count() == count) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }
  // Whether the client's session is master: only a master hears that a word is unknown.
  static bool IsMaster(RemoteClient& client) {
    client.Send("NO SUCH COMMAND\n");
    const std::string reply = client.Read(kUnknown.size());
    EXPECT_TRUE(reply == kUnknown || reply == kNotAllowed.substr(0, kUnknown.size())) << reply;
    if (reply != kUnknown) client.Read(kNotAllowed.size() - reply.size());
    return reply == kUnknown;
  }

  RemoteRig rig;
  std::vector<int> lamp;
  std::mutex lamp_mutex;
  RemoteServer server{rig.interpreter, rig.log, [this](int value) {
                        std::lock_guard lock(lamp_mutex);
                        lamp.push_back(value);
                      }};
};

// This process's own end of every connection accepted on `port`.
std::vector<int> AcceptedOn(uint16_t port) {
  std::vector<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t local_length = sizeof local;
    socklen_t peer_length = sizeof peer;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_length) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port) {
      continue;
    }
    // The listener has the port too, but no peer.
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0) {
      fds.push_back(fd);
    }
  }
  return fds;
}

TEST_F(RemoteServerTest, SessionsKeepTheirConnectionsAlive) {
  auto client = Connect();
  ASSERT_TRUE(SessionsAre(1));
  const std::vector<int> sessions = AcceptedOn(server.port());
  ASSERT_EQ(sessions.size(), 1u);
  int on = 0;
  socklen_t length = sizeof on;
  ASSERT_EQ(::getsockopt(sessions[0], SOL_SOCKET, SO_KEEPALIVE, &on, &length), 0);
  EXPECT_EQ(on, 1);
}

TEST_F(RemoteServerTest, AMachineClientGetsNoGreetingAndTerseReplies) {
  auto client = Connect();
  client->Send("GET RUN\n");
  EXPECT_EQ(client->Read(3), "0\r\n");
  client->Send("quit\n");
  EXPECT_EQ(client->ReadAll(), "");
  EXPECT_TRUE(client->ClosedByPeer());
  EXPECT_TRUE(SessionsAre(0));
  EXPECT_TRUE(rig.console.Has("Velmora Remote Control session has initialized."));
  EXPECT_TRUE(rig.console.Has("Remote Control Session terminated"));
  EXPECT_TRUE(rig.console.Has("Remote Control thread - activated"));
  std::lock_guard lock(lamp_mutex);
  EXPECT_EQ(lamp, (std::vector<int>{100, 0}));
}

TEST_F(RemoteServerTest, HumanModeGreetsPromptsAndEchoes) {
  auto first = Connect();
  first->Send("SET DEBUG\n");
  const std::string on = "*** Velmora *** - Remote Control human mode dialog is on\r\n";
  EXPECT_EQ(first->Read(on.size()), on);
  EXPECT_EQ(first->Read(11), "VelmoraRC> ");
  first->Send("get run\r\n");
  const std::string reply = "get run\r\n*** Velmora *** - State: Stopped.\r\nVelmoraRC> ";
  EXPECT_EQ(first->Read(reply.size()), reply);
  // A new session is greeted in human mode and switches it off for everyone.
  auto second = Connect();
  EXPECT_EQ(second->Read(CommandInterpreter::kGreeting.size()), CommandInterpreter::kGreeting);
  EXPECT_TRUE(SessionsAre(2));
  for (int i = 0; i < 500 && rig.human; ++i) std::this_thread::sleep_for(milliseconds(10));
  first->Send("GET RUN\n");
  EXPECT_EQ(first->Read(3), "0\r\n");
}

TEST_F(RemoteServerTest, TheFirstSessionIsMasterUntilItEnds) {
  auto first = Connect();
  EXPECT_TRUE(IsMaster(*first));
  auto second = Connect();
  second->Send("SET START\n");
  EXPECT_EQ(second->Read(kNotAllowed.size()), kNotAllowed);
  second->Send("GET RUN\n");
  EXPECT_EQ(second->Read(3), "0\r\n");
  first->Send("EXIT\n");
  EXPECT_TRUE(first->ClosedByPeer());
  EXPECT_FALSE(IsMaster(*second));
  auto third = Connect();
  EXPECT_TRUE(IsMaster(*third));
}

TEST_F(RemoteServerTest, PipelinedAndSplitCommandsRunInOrder) {
  auto client = Connect();
  client->Send("GET RUN\nGET UNUM\nGET RUN");
  EXPECT_EQ(client->Read(6), "0\r\n0\r\n");
  client->Send("\nGET ");
  std::this_thread::sleep_for(milliseconds(20));
  client->Send("UN");
  std::this_thread::sleep_for(milliseconds(20));
  client->Send("UM\n");
  EXPECT_EQ(client->Read(6), "0\r\n0\r\n");
}

TEST_F(RemoteServerTest, AMebibyteWithoutLineFeedIsOneUnknownCommand) {
  auto client = Connect();
  std::thread sender([&client] {
    client->Send(std::string(1 << 20, 'x'));
    client->Send("\nGET RUN\n");
  });
  EXPECT_EQ(client->Read(kUnknown.size() + 3), std::string(kUnknown) + "0\r\n");
  sender.join();
  EXPECT_EQ(rig.console.Count("Remote line over 8192 bytes discarded"), 1);
}

TEST_F(RemoteServerTest, AResetMidReplyEndsOnlyThatSession) {
  rig.statistics.SetFile("stat.log");
  for (uint32_t host = 1; host <= 2000; ++host) {
    rig.statistics.CountPacket(htonl(0x0a000000 + host), 100);
  }
  auto client = Connect();
  ASSERT_TRUE(SessionsAre(1));
  client->Send("GET LISTIPSTAT\nGET LISTIPSTAT\nGET LISTIPSTAT\n");
  client->Reset();
  EXPECT_TRUE(SessionsAre(0));
  auto next = Connect();
  EXPECT_TRUE(IsMaster(*next));
}

TEST_F(RemoteServerTest, FiftyClientsAtOnceHaveExactlyOneMaster) {
  constexpr int kClients = 50;
  std::latch start(kClients);  // every client connects at the same moment
  // The master keeps its session until every client knows its role: a session opened after the
  // master's end would rightly become the next master.
  std::latch decided(kClients);
  std::atomic<int> masters{0};
  std::atomic<bool> failed{false};
  std::atomic<bool> done{false};
  rig.statistics.SetFile("stat.log");
  std::thread traffic([&] {  // the packet path counts while the sessions read and change
    for (uint32_t n = 0; !done; ++n) rig.statistics.CountPacket(htonl(0x0a000000 + n % 500), 100);
  });
  std::vector<std::thread> threads;
  for (int client = 0; client < kClients; ++client) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      const auto connected = std::make_unique<RemoteClient>(server.port());
      RemoteClient* c = connected.get();
      if (!c->connected()) {
        failed = true;
        decided.count_down();
        return;
      }
      const bool master = IsMaster(*c);
      decided.count_down();
      if (master) {
        ++masters;
        for (int i = 0; i < 50; ++i) {
          c->Send("SET NADD N" + std::to_string(i) + " 10." + std::to_string(i) +
                  ".0.0 255.255.0.0 1" + "\nSET RADD 10." + std::to_string(i) +
                  ".0.1 00:00:00:00:00:01\nSET NDEL N" + std::to_string(i) + "\n");
        }
        c->Send("GET UNUM\n");
        if (c->Read(3) != "0\r\n") failed = true;
        decided.wait();
        return;
      }
      for (int i = 0; i < 50; ++i) {
        c->Send("GET RUN\nGET LISTIPSTAT\n");
        if (c->Read(3) != "0\r\n") failed = true;
        const int count = std::stoi(c->ReadLine());  // the list: its length, then its lines
        for (int line = 0; line < count; ++line) c->ReadLine();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  done = true;
  traffic.join();
  EXPECT_EQ(masters, 1);
  EXPECT_FALSE(failed);
  EXPECT_EQ(rig.tables.Snapshot()->subnets().size(), 0u);
}

TEST_F(RemoteServerTest, ClientsOutsideTheAllowListGetNoByteAndAreLogged) {
  Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK), .allow = "10.1.2.3, 192.168.0.0/16"});
  auto refused = Connect();
  refused->Send("SET DEBUG\n");
  EXPECT_EQ(refused->ReadAll(), "");
  EXPECT_TRUE(refused->ClosedByPeer());
  EXPECT_TRUE(rig.console.Has(
      "Remote Control connection from 127.0.0.1 refused: not in RemoteControlAllow"));
  EXPECT_FALSE(rig.human);
  Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK), .allow = "10.0.0.1,127.0.0.0/8"});
  auto allowed = Connect();
  EXPECT_TRUE(IsMaster(*allowed));
}

TEST_F(RemoteServerTest, TheSixtyFifthSessionIsClosedAtOnce) {
  std::vector<std::unique_ptr<RemoteClient>> clients;
  for (size_t i = 0; i < RemoteServer::kMaxSessions; ++i) clients.push_back(Connect());
  ASSERT_TRUE(SessionsAre(RemoteServer::kMaxSessions));
  clients.front()->Close();  // the master leaves: the next session could become master
  ASSERT_TRUE(SessionsAre(RemoteServer::kMaxSessions - 1));
  clients.push_back(Connect());
  ASSERT_TRUE(SessionsAre(RemoteServer::kMaxSessions));
  auto extra = Connect();
  extra->Send("NO SUCH COMMAND\n");
  EXPECT_EQ(extra->ReadAll(), "");
  EXPECT_TRUE(extra->ClosedByPeer());
  EXPECT_TRUE(rig.console.Has("Remote Control connection from 127.0.0.1 closed: 64 sessions open"));
  EXPECT_TRUE(IsMaster(*clients.back()));
}

TEST_F(RemoteServerTest, ABusyPortIsLoggedAndLeavesNoListener) {
  RemoteServer other(rig.interpreter, rig.log, nullptr);
  other.Open({.port = server.port(), .bind_address = htonl(INADDR_LOOPBACK)});
  EXPECT_FALSE(other.listening());
  EXPECT_TRUE(rig.console.Has("Cannot start new thread. Port: " + std::to_string(server.port()) +
                              " - busy."));
}

TEST_F(RemoteServerTest, ABindFailureIsRetriedAtTheNextOpen) {
  const uint16_t taken = server.port();
  RemoteServer other(rig.interpreter, rig.log, nullptr);
  const ListenerConfig config{.port = taken, .bind_address = htonl(INADDR_LOOPBACK)};
  other.Open(config);
  EXPECT_FALSE(other.listening());
  server.Close();
  other.Open(config);  // the same settings: the failed listener does not count as started
  EXPECT_TRUE(other.listening());
  RemoteClient client(taken);
  ASSERT_TRUE(client.connected());
  client.Send("GET RUN\n");
  EXPECT_EQ(client.Read(3), "0\r\n");
}

TEST_F(RemoteServerTest, AnotherPortReopensTheListener) {
  const uint16_t old_port = server.port();
  Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK), .allow = "127.0.0.1"});
  EXPECT_NE(server.port(), old_port);
  EXPECT_FALSE(RemoteClient(old_port).connected());
  auto client = Connect();
  client->Send("GET RUN\n");
  EXPECT_EQ(client->Read(3), "0\r\n");
}

TEST_F(RemoteServerTest, ClosingTheListenerKeepsTheSessions) {
  auto client = Connect();
  ASSERT_TRUE(SessionsAre(1));
  server.Close();
  EXPECT_FALSE(server.listening());
  EXPECT_TRUE(rig.console.Has("Remote Control Socket error."));
  client->Send("GET RUN\n");
  EXPECT_EQ(client->Read(3), "0\r\n");
}

TEST_F(RemoteServerTest, ShutdownEndsEverySession) {
  std::vector<std::unique_ptr<RemoteClient>> clients;
  for (int i = 0; i < 10; ++i) clients.push_back(Connect());
  ASSERT_TRUE(SessionsAre(10));
  server.Shutdown();
  for (auto& client : clients) EXPECT_TRUE(client->ClosedByPeer());
  EXPECT_EQ(server.session_count(), 0u);
}

// What a session sends after a line: its echo in human mode, the reply, and the prompt while human
// mode is on once the command is done (a session that ends sends none).
std::string SessionBytes(const testing::Case& c, bool human) {
  const int command = ReadCommandLine(c.line).command;
  const bool allowed = c.master || AllowedWithoutMastership(command);
  const bool quits = allowed && (command == kQuit || command == kExit);
  const bool human_after = allowed && command == kSetDebug     ? true
                           : allowed && command == kSetNodebug ? false
                                                               : human;
  return (human ? c.line + "\n" + c.human : c.machine) +
         (human_after && !quits ? std::string(CommandInterpreter::kPrompt) : "");
}

// Every command of the interpreter's cases once in each mode through a real connection, from a
// master or a second session as the case says.
TEST(RemoteSocketTest, EveryCommandAnswersByteForByteOverTcp) {
  for (const testing::Case& c : testing::kCases) {
    for (const bool human : {false, true}) {
      const auto rig = testing::SeededRig();
      RemoteServer server(rig->interpreter, rig->log, nullptr);
      server.Open({.port = 0, .bind_address = htonl(INADDR_LOOPBACK)});
      RemoteClient master(server.port());
      master.Send("NO SUCH COMMAND\n");  // answered: this session is the master
      ASSERT_EQ(master.Read(kUnknown.size()), kUnknown);
      std::unique_ptr<RemoteClient> other;
      if (!c.master) {
        other = std::make_unique<RemoteClient>(server.port());
        other->Send("NO SUCH COMMAND\n");  // refused: a second session, greeted and running
        ASSERT_EQ(other->Read(kNotAllowed.size()), kNotAllowed);
      }
      if (human) {  // for every session, so from the master
        const std::string on = "*** Velmora *** - Remote Control human mode dialog is on\r\n";
        master.Send("SET DEBUG\n");
        ASSERT_EQ(master.Read(on.size() + CommandInterpreter::kPrompt.size()),
                  on + std::string(CommandInterpreter::kPrompt));
        // The second session's prompt after its refusal may have come before the mode changed
        // (none) or after it.
        if (other) {
          const std::string pending = other->ReadAll(milliseconds(30));
          EXPECT_TRUE(pending.empty() || pending == CommandInterpreter::kPrompt) << pending;
        }
      }
      RemoteClient& client = c.master ? master : *other;
      client.Send(c.line + "\n");
      const std::string expected = SessionBytes(c, human);
      std::string got = client.Read(expected.size());
      got += client.Read(1 << 20, milliseconds(30));  // and nothing more
      EXPECT_EQ(got, expected) << (human ? "human: " : "machine: ") << c.line;
    }
  }
}

}  // namespace
}  // namespace velmora
