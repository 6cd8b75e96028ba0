// The socket wrappers against real clients on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "platform/socket_error.h"
#include "platform/tcp_socket.h"
#include "platform/udp_socket.h"
#include "support/cerrorcode.h"
#include "testing/list_console.h"

namespace velmora {
namespace {

using testing::ListConsole;

// A listener on a free loopback port, a connected client and the accepted session.
class TcpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetConsoleTarget(&console_);
    listener_.Bind(0);
    listener_.Listen();
    client_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(listener_.local_port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    session_ = std::make_unique<TcpSocket>(log_, listener_.Accept());
    timeval timeout{5, 0};
    ::setsockopt(client_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  void TearDown() override {
    if (client_ >= 0) ::close(client_);
  }
  void Send(std::string_view bytes) {
    ASSERT_EQ(::send(client_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  // Waits for exactly `bytes` of echo, so that the next block goes in a segment of its own.
  std::string Echo(size_t bytes) {
    std::string echo;
    char buffer[256];
    while (echo.size() < bytes) {
      const ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      echo.append(buffer, static_cast<size_t>(n));
    }
    return echo;
  }
  std::future<std::pair<int32_t, std::string>> ReadLine() {
    return std::async(std::launch::async, [this] {
      std::string line;
      const int32_t result = session_->ReadLine(line);
      return std::make_pair(result, line);
    });
  }

  Log log_;
  ListConsole console_;
  TcpSocket listener_{log_};
  int client_ = -1;
  std::unique_ptr<TcpSocket> session_;
};

TEST_F(TcpSessionTest, HumanModeEchoesAndErases) {
  session_->set_human(true);
  auto line = ReadLine();
  Send("ab");
  EXPECT_EQ(Echo(2), "ab");
  Send("\b");
  EXPECT_EQ(Echo(3), "\b \b");
  Send("c");
  EXPECT_EQ(Echo(1), "c");
  Send("\x1b[D");  // cursor left erases too
  EXPECT_EQ(Echo(3), "\b \b");
  Send("\x1b[A");  // any other escape is ignored
  Send("d\r\n");
  EXPECT_EQ(Echo(3), "d\r\n");
  EXPECT_EQ(line.get(), std::make_pair(0, std::string("ad\r")));
}

TEST_F(TcpSessionTest, BackspaceOnAnEmptyLineSendsNothing) {
  session_->set_human(true);
  auto line = ReadLine();
  Send("\b");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Send("x\n");
  EXPECT_EQ(Echo(2), "x\n");  // nothing before the echo
  EXPECT_EQ(line.get().second, "x");
}

TEST_F(TcpSessionTest, LinesEndAtEveryLineFeed) {
  Send("one\ntwo\nthr");
  EXPECT_EQ(ReadLine().get(), std::make_pair(0, std::string("one")));
  EXPECT_EQ(ReadLine().get(), std::make_pair(0, std::string("two")));
  auto third = ReadLine();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Send("ee");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Send("\n");
  EXPECT_EQ(third.get(), std::make_pair(0, std::string("three")));
}

TEST_F(TcpSessionTest, AnOverLongLineIsDiscardedAndTheSessionGoesOn) {
  Send(std::string(TcpSocket::kMaxLine + 100, 'x') + "\nok\n");
  EXPECT_EQ(ReadLine().get(), std::make_pair(TcpSocket::kLineTooLong, std::string()));
  EXPECT_EQ(ReadLine().get().second, "ok");
  auto next = ReadLine();  // a longer one still, in several blocks
  for (int i = 0; i < 4; ++i) Send(std::string(TcpSocket::kMaxLine, 'y'));
  Send("\nnext\n");
  EXPECT_EQ(next.get(), std::make_pair(TcpSocket::kLineTooLong, std::string()));
  EXPECT_EQ(ReadLine().get().second, "next");
  EXPECT_EQ(console_.Count("Remote line over 8192 bytes discarded"), 2);
}

TEST_F(TcpSessionTest, TelnetClientsEndLinesWithCrNulAndTheirCommandsAreDropped) {
  session_->set_human(true);
  auto line = ReadLine();
  // WILL ECHO, a subnegotiation, an escaped erase-line command; then a word with a DEL.
  Send(
      "\xff\xfb\x01\xff\xfa\x18\x01\xff\xf0\xff\xf8"
      "ab\x7f");
  EXPECT_EQ(Echo(5), "ab\b \b");
  Send("c\r");
  EXPECT_EQ(Echo(2), "c\r");
  Send(std::string("\0next", 5));
  EXPECT_EQ(line.get(), std::make_pair(0, std::string("ac\r")));
  auto rest = ReadLine();
  Send("\r\n");
  EXPECT_EQ(rest.get(), std::make_pair(0, std::string("next\r")));
}

TEST_F(TcpSessionTest, APeerClosingMidLineGivesMinusOne) {
  auto line = ReadLine();
  Send("abc");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ::close(client_);
  client_ = -1;
  EXPECT_EQ(line.get(), std::make_pair(-1, std::string()));
}

TEST_F(TcpSessionTest, AResetPeerFailsTheSendAndNothingElse) {
  linger hard{1, 0};
  ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(client_);
  client_ = -1;
  ssize_t result = 0;
  for (int i = 0; i < 100 && result >= 0; ++i) {
    result = session_->Send("reply\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_LT(result, 0);  // and no SIGPIPE ended the process
  session_->SendReply("human", "machine");
}

TEST_F(TcpSessionTest, RepliesFollowTheMode) {
  session_->SendReply("human\n", "machine\n");
  EXPECT_EQ(Echo(8), "machine\n");
  session_->SendReply("human\n", "");
  session_->set_human(true);
  session_->SendReply("human\n", "machine\n");
  EXPECT_EQ(Echo(6), "human\n");
}

TEST(SocketTest, PortsInUseAreReportedAs10037) {
  Log log;
  ListConsole console;
  log.SetConsoleTarget(&console);
  TcpSocket first(log);
  first.Bind(0);
  first.Listen();
  TcpSocket second(log);
  try {
    second.Bind(first.local_port());
    ADD_FAILURE() << "bound a TCP port in use";
  } catch (const cerrorcode& error) {
    EXPECT_EQ(error.code(), cerrorcode::kPortInUse);
  }
  EXPECT_TRUE(console.Has("Error 10037 - port already in use"));

  UdpSocket a(log), b(log);
  a.Bind(htonl(INADDR_LOOPBACK), 0);
  try {
    b.Bind(htonl(INADDR_LOOPBACK), a.local_port());
    ADD_FAILURE() << "bound a UDP port in use";
  } catch (const cerrorcode& error) {
    EXPECT_EQ(error.code(), cerrorcode::kPortInUse);
  }
  // Multicast membership sockets share their port on purpose.
  UdpSocket c(log), d(log);
  c.AllowAddressReuse();
  d.AllowAddressReuse();
  c.Bind(0);
  EXPECT_NO_THROW(d.Bind(c.local_port()));
}

TEST(SocketTest, ASendCutShortByASignalSendsTheRestToo) {
  struct sigaction quiet {};
  quiet.sa_handler = [](int) {};
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &before), 0);
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const std::string reply(1 << 20, 'r');
  Log log;
  std::promise<pthread_t> writer_thread;
  auto sending = std::async(std::launch::async, [&] {
    writer_thread.set_value(::pthread_self());
    TcpSocket writer(log, pair[0]);
    return writer.Send(reply);  // the reader is not reading yet: the send blocks
  });
  const pthread_t writer = writer_thread.get_future().get();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::pthread_kill(writer, SIGUSR1);
  }
  size_t received = 0;
  char buffer[65536];
  for (ssize_t n; (n = ::recv(pair[1], buffer, sizeof buffer, 0)) > 0;) {
    received += static_cast<size_t>(n);
  }
  EXPECT_EQ(sending.get(), static_cast<ssize_t>(reply.size()));
  EXPECT_EQ(received, reply.size());
  ::close(pair[1]);
  ::sigaction(SIGUSR1, &before, nullptr);
}

TEST(SocketTest, ErrorCodesComeFromOnePlace) {
  EXPECT_EQ(SocketErrorCode(EINTR), cerrorcode::kInterrupted);
  EXPECT_EQ(SocketErrorCode(ECONNRESET), 10054);
  EXPECT_EQ(SocketErrorCode(12345), 12345);
  EXPECT_EQ(SocketErrorText(10054), std::strerror(ECONNRESET));
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(SocketTest, ClosingAListenerEndsABlockedAccept) {
  Log log;
  TcpSocket listener(log);
  listener.Bind(0);
  listener.Listen();
  const uint16_t port = listener.local_port();
  auto accepted = std::async(std::launch::async, [&listener] {
    try {
      listener.Accept();
      return 0;
    } catch (const cerrorcode& error) {
      return error.code();
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  listener.Close();
  ASSERT_EQ(accepted.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_NE(accepted.get(), 0);
  TcpSocket again(log);  // the port is free again at once
  EXPECT_NO_THROW(again.Bind(port));
}

}  // namespace
}  // namespace velmora
