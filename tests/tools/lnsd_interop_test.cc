// lnsd against a second implementation: Debian's xl2tpd as the LAC, in a network namespace of
// the test's own, sets up a tunnel and a call (its pppd cannot open /dev/ppp here, so it then
// clears the call, and the LNS closes the tunnel after the last session).

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "lnsd/lnsd_options.h"
#include "testing/velmora_process.h"

namespace velmora {
namespace {

class LnsdInteropTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    if (std::system("command -v xl2tpd >/dev/null && command -v ip >/dev/null") != 0) {
      GTEST_SKIP() << "needs xl2tpd and ip (scripts/install-deps installs them)";
    }
    dir_ = testing::RouterFolder("velmora_lnsd_interop");
    ns_ = "velmora-l2tp-" + std::to_string(getpid());
    ASSERT_EQ(std::system(("ip netns add " + ns_ + " && ip -n " + ns_ + " link set lo up").c_str()),
              0);
  }
  void TearDown() override {
    if (ns_.empty()) return;
    std::system(("ip netns pids " + ns_ + " | xargs -r kill -9; ip netns del " + ns_).c_str());
    std::filesystem::remove_all(dir_);
  }

  // One call by xl2tpd (tunnel challenge on or off, with `lac_secret` in its secrets file)
  // against lnsd (`peer` as its --peer); returns xl2tpd's output.
  std::string Dial(bool challenge, const std::string& lac_secret, const std::string& peer) {
    const std::string d = dir_.string();
    std::ofstream(dir_ / "xl2tpd.conf")
        << "[global]\nlisten-addr = 127.0.0.1\nport = 1701\naccess control = no\nauth file = " << d
        << "/l2tp-secrets\n[lac velmora]\nlns = 127.0.0.2\nautodial = yes\nredial = no\n"
        << "hostname = lac\nchallenge = " << (challenge ? "yes" : "no") << "\npppoptfile = " << d
        << "/options\n";
    std::ofstream(dir_ / "options") << "noauth\n";
    std::ofstream(dir_ / "l2tp-secrets")
        << "lns lac " << lac_secret << "\nlac lns " << lac_secret << "\n";
    std::filesystem::permissions(dir_ / "l2tp-secrets", std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write);
    const std::string script =
        "cd " + d + " && ip netns exec " + ns_ + " sh -c '" + LNSD_BINARY +
        " --bind 127.0.0.2 --host-name lns --peer " + peer +
        " > lnsd.out 2>&1 & L=$!; sleep 0.3; xl2tpd -D -c " + d + "/xl2tpd.conf -C " + d +
        "/control -p " + d +
        "/pid > xl2tpd.out 2>&1 & X=$!; "
        "for i in $(seq 80); do grep -q \"closed to\" xl2tpd.out && break; sleep 0.1; done; "
        "kill $X; kill $L; wait $L'";
    EXPECT_EQ(std::system(script.c_str()), 0);
    lnsd_out_ = testing::ReadAll(dir_ / "lnsd.out");
    return testing::ReadAll(dir_ / "xl2tpd.out");
  }

  std::filesystem::path dir_;
  std::string ns_;
  std::string lnsd_out_;
};

TEST_F(LnsdInteropTest, TunnelAndCallWithoutAuthentication) {
  const std::string out = Dial(false, "unused", "127.0.0.1");
  EXPECT_NE(out.find("Connection established to 127.0.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("Call established with 127.0.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("(Last session has closed)"), std::string::npos) << out;
  EXPECT_NE(lnsd_out_.find("L2tp LNS server started"), std::string::npos) << lnsd_out_;
  EXPECT_EQ(lnsd_out_.find("Error"), std::string::npos) << lnsd_out_;
}

TEST_F(LnsdInteropTest, TunnelAuthenticationBothWays) {
  const std::string out = Dial(true, "s3cret", "127.0.0.1:s3cret");
  EXPECT_NE(out.find("Connection established to 127.0.0.2"), std::string::npos) << out;
  EXPECT_NE(out.find("Call established with 127.0.0.2"), std::string::npos) << out;
  const std::string wrong = Dial(true, "s3cret", "127.0.0.1:other");
  EXPECT_EQ(wrong.find("Connection established"), std::string::npos) << wrong;
  EXPECT_NE(wrong.find("Invalid challenge authentication"), std::string::npos) << wrong;
}

TEST(LnsdOptionsTest, FlagsAndTheirRefusals) {
  std::string error;
  const auto o = lnsd::ParseLnsdOptions({"--port", "1702", "--user", "ann:pw:x", "--peer",
                                         "10.0.0.1:s", "--peer", "10.0.0.2", "--max-tunnels", "5"},
                                        error);
  ASSERT_TRUE(o) << error;
  EXPECT_EQ(o->params.port, 1702u);
  EXPECT_EQ(o->users.at(0).password, "pw:x");
  EXPECT_EQ(o->peers.at(0).secret, (std::vector<uint8_t>{'s'}));
  EXPECT_TRUE(o->peers.at(1).secret.empty());
  EXPECT_EQ(o->params.limits.tunnels, 5u);
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "0"},
                                              {"--port", "65536"},
                                              {"--bind", "nowhere"},
                                              {"--user", "nopassword"},
                                              {"--peer", "0.0.0.0"},
                                              {"--pool-size", "x"},
                                              {"--frobnicate", "1"},
                                              {"--port"}}) {
    EXPECT_FALSE(lnsd::ParseLnsdOptions(bad, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(lnsd::ParseLnsdOptions({"--help"}, error)->help);
}

}  // namespace
}  // namespace velmora
