// lnsd with PPP users: a scripted LAC and PPP client built on scapy logs users in with CHAP and
// PAP over loopback, and the users' IP packets land in lnsd's pcap file.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "testing/ppp_client.h"
#include "testing/udp_peer.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

class LnsdPppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::PppClientAvailable()) {
      GTEST_SKIP() << "needs python3-scapy (scripts/install-deps installs it)";
    }
    dir_ = testing::RouterFolder("velmora_lnsd_ppp");
    port_ = testing::UdpPeer::FreePort();
    pid_ = fork();
    if (pid_ == 0) {
      const std::string out = (dir_ / "lnsd.out").string();
      freopen(out.c_str(), "w", stdout);
      const std::string port = std::to_string(port_), pcap = (dir_ / "users.pcap").string();
      execl(LNSD_BINARY, LNSD_BINARY, "--port", port.c_str(), "--peer", "127.0.0.1", "--user",
            "ann:secret", "--user", "bob:Hunter2", "--pool-start", "10.9.0.1", "--pool-size", "4",
            "--host-name", "lns", "--pcap", pcap.c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(
        testing::WaitFor([&] { return Output().find("server started") != std::string::npos; }));
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      testing::Wait(pid_);
    }
    std::filesystem::remove_all(dir_);
  }
  std::string Output() const { return testing::ReadAll(dir_ / "lnsd.out"); }
  std::string Login(const std::string& arguments) {
    return testing::RunPppClient(port_, "--seconds 5 " + arguments);
  }

  std::filesystem::path dir_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

TEST_F(LnsdPppTest, ChapLoginGetsThePoolAddressAndItsPacketsAreCaptured) {
  const std::string out = Login("--send-to 192.168.7.7:5000 --packets 3 --size 40");
  EXPECT_NE(out.find("CHAP success: Welcome to Tessaro L2TP LNS server\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("IPCP nak: 10.9.0.1\nIPCP address: 10.9.0.1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("sent 3"), std::string::npos) << out;
  ASSERT_TRUE(testing::WaitFor([&] {
    return std::filesystem::file_size(dir_ / "users.pcap") >= 24 + 3 * (16 + 68);
  })) << Output();

  const std::string pcap = testing::ReadAll(dir_ / "users.pcap");
  uint32_t magic, link_type;
  std::memcpy(&magic, pcap.data(), 4);
  std::memcpy(&link_type, pcap.data() + 20, 4);
  EXPECT_EQ(magic, 0xa1b2c3d4u);
  EXPECT_EQ(link_type, 101u);
  size_t at = 24;
  for (int n = 0; n < 3; ++n) {
    uint32_t captured, length;
    std::memcpy(&captured, pcap.data() + at + 8, 4);
    std::memcpy(&length, pcap.data() + at + 12, 4);
    ASSERT_EQ(captured, 68u);  // IPv4 20 + UDP 8 + 40
    EXPECT_EQ(length, 68u);
    const std::string ip = pcap.substr(at + 16, captured);
    EXPECT_EQ(ip.substr(12, 8), std::string("\x0a\x09\x00\x01\xc0\xa8\x07\x07", 8));
    EXPECT_EQ(ip.substr(28, 10), "velmora " + std::to_string(n) + " ");
    at += 16 + captured;
  }
}

TEST_F(LnsdPppTest, PapOwnAddressWrongPasswordAndRefusedAuthentication) {
  std::string out = Login("--auth pap --user bob --password Hunter2 --ask 10.1.2.3");
  EXPECT_NE(out.find("PAP ack: Welcome\nIPCP address: 10.1.2.3\n"), std::string::npos) << out;

  out = Login("--auth pap --user bob --password hunter2");
  EXPECT_NE(out.find("PAP nak: Access denied\nLCP terminate: Authentication failed\n"
                     "CDN 2 0 Authentication failed\n"),
            std::string::npos)
      << out;

  out = Login("--password wrong");
  EXPECT_NE(out.find("CHAP failure: I don't like you.  Go away.\n"
                     "LCP terminate: Authentication failed\nCDN 2 0 Authentication failed\n"),
            std::string::npos)
      << out;

  out = Login("--auth reject");
  EXPECT_NE(out.find("LCP terminate: peer refused to authenticate\nend\n"), std::string::npos)
      << out;
  EXPECT_NE(Output().find("CHAP peer authentication failed for remote host ann"),
            std::string::npos);
}

TEST_F(LnsdPppTest, AFailedLoginFreesItsPoolAddress) {
  // Calls left open (--stay): only the CDN of the failed login can give its address back.
  std::string out = Login("--password wrong --stay");
  ASSERT_NE(out.find("CDN 2 0 Authentication failed"), std::string::npos) << out;
  out = Login("--stay");
  EXPECT_NE(out.find("IPCP address: 10.9.0.1\n"), std::string::npos) << out;
  out = Login("--stay");
  EXPECT_NE(out.find("IPCP address: 10.9.0.2\n"), std::string::npos) << out;
}

TEST_F(LnsdPppTest, AnAddressAUserKeepsIsNeitherHandedOutNorTakenByAnother) {
  // The first call holds 10.9.0.1 from the pool; its user keeps the free 10.9.0.2 as his own.
  std::string out = Login("--ask 10.9.0.2 --stay");
  EXPECT_NE(out.find("IPCP address: 10.9.0.2\n"), std::string::npos) << out;
  out = Login("--stay");
  EXPECT_NE(out.find("IPCP nak: 10.9.0.3\nIPCP address: 10.9.0.3\n"), std::string::npos) << out;
  out = Login("--ask 10.9.0.2 --stay");
  EXPECT_NE(out.find("IPCP nak: 10.9.0.4\nIPCP address: 10.9.0.4\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace velmora
