// PAP and CHAP of the server against byte-exact packets of a scripted user.

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "l2tp/ppp/chap.h"
#include "l2tp/ppp/pap.h"
#include "support/md5.h"

namespace velmora::l2tp {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::seconds;

class AuthenticationTest : public ::testing::Test {
 protected:
  AuthenticationParts Parts() {
    return {timers_,
            log_,
            [this](std::span<const uint8_t> f) { sent_.emplace_back(f.begin(), f.end()); },
            [this](const std::string& name) -> std::optional<std::string> {
              const auto found = users_.find(name);
              if (found == users_.end()) return std::nullopt;
              return found->second;
            },
            [this](std::span<uint8_t> out) {
              for (uint8_t& b : out) {
                b = random_.empty() ? 0x5a : random_.front();
                if (!random_.empty()) random_.pop_front();
              }
            },
            [this](bool ok) { outcomes_.push_back(ok); }};
  }
  static Bytes Packet(uint8_t code, uint8_t id, const Bytes& data) {
    Bytes p = {code, id, 0, static_cast<uint8_t>(4 + data.size())};
    p.insert(p.end(), data.begin(), data.end());
    return p;
  }
  static std::string Message(const Bytes& frame, size_t from) {
    return {frame.begin() + from, frame.end()};
  }
  void Run(Clock::Duration d) {
    for (Clock::Duration done{}; done < d; done += std::chrono::milliseconds(100)) {
      clock_.Advance(std::chrono::milliseconds(100));
      timers_.RunDue();
    }
  }

  SimulatedClock clock_;
  std::vector<std::string> lines_;
  ServerLog log_{clock_, [this](std::string line) { lines_.push_back(std::move(line)); }};
  TimerService timers_{clock_};
  std::map<std::string, std::string> users_ = {{"ann", "secret"}, {"nopass", ""}};
  std::deque<uint8_t> random_;
  std::vector<Bytes> sent_;
  std::vector<bool> outcomes_;
};

TEST_F(AuthenticationTest, ChapWithTheReferenceVector) {
  random_ = {0};  // length 16 + 0
  for (int i = 0; i < 16; ++i) random_.push_back(static_cast<uint8_t>(i));
  CChap chap(Parts(), "lns");
  chap.Start();
  Bytes challenge = {0xff, 0x03, 0xc2, 0x23, 1, 1, 0, 24, 16};
  for (int i = 0; i < 16; ++i) challenge.push_back(static_cast<uint8_t>(i));
  challenge.insert(challenge.end(), {'l', 'n', 's'});
  ASSERT_EQ(sent_.at(0), challenge);
  // MD5(1, "secret", 00..0f) = 740e86463bda3a4d7017d6e0fba0699d.
  Bytes response = {16,   0x74, 0x0e, 0x86, 0x46, 0x3b, 0xda, 0x3a, 0x4d, 0x70,
                    0x17, 0xd6, 0xe0, 0xfb, 0xa0, 0x69, 0x9d, 'a',  'n',  'n'};
  chap.Input(Packet(2, 1, response));
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1][4], 3);
  EXPECT_EQ(Message(sent_[1], 8), "Welcome to Tessaro L2TP LNS server");
  EXPECT_EQ(outcomes_, (std::vector<bool>{true}));
  chap.Input(Packet(2, 1, response));  // again: Success again, no second outcome
  EXPECT_EQ(sent_.back()[4], 3);
  EXPECT_EQ(outcomes_.size(), 1u);
  Run(seconds(60));
  EXPECT_EQ(sent_.size(), 3u);  // no more challenges once open
}

TEST_F(AuthenticationTest, ChapRefusalsAndSilence) {
  CChap chap(Parts(), "lns");
  chap.Start();
  const uint8_t id = chap.challenge_id();
  const Bytes challenge(chap.challenge().begin(), chap.challenge().end());
  EXPECT_GE(challenge.size(), 16u);
  EXPECT_LE(challenge.size(), 23u);
  // A response for the user without a password: Failure, and the outcome is a failure.
  const uint8_t id_byte[1] = {id};
  const Md5Digest empty = Md5().Update(id_byte).Update(challenge).Final();
  Bytes response = {16};
  response.insert(response.end(), empty.begin(), empty.end());
  response.insert(response.end(), {'n', 'o', 'p', 'a', 's', 's'});
  chap.Input(Packet(2, static_cast<uint8_t>(id + 1), response));  // a wrong identifier: ignored
  EXPECT_EQ(sent_.size(), 1u);
  chap.Input(Packet(2, id, response));
  EXPECT_EQ(Message(sent_.back(), 8), "I don't like you.  Go away.");
  EXPECT_EQ(outcomes_, (std::vector<bool>{false}));
  EXPECT_EQ(lines_.back(), "Error: CHAP peer authentication failed for remote host nopass");

  // Nobody answers: ten challenges 3 s apart with the same identifier, then the failure.
  sent_.clear();
  outcomes_.clear();
  CChap silent(Parts(), "lns");
  silent.Start();
  Run(seconds(40));
  ASSERT_EQ(sent_.size(), 10u);
  for (const Bytes& frame : sent_) EXPECT_EQ(frame[5], sent_[0][5]);
  EXPECT_EQ(outcomes_, (std::vector<bool>{false}));
  EXPECT_EQ(lines_.back(), "Error: Peer failed to respond to CHAP challenge");
}

TEST_F(AuthenticationTest, PapAnswersAndWipesThePassword) {
  CPap pap(Parts());
  pap.Start();
  Bytes wrong = Packet(1, 4, {3, 'a', 'n', 'n', 6, 'S', 'e', 'c', 'r', 'e', 't'});
  pap.Input(wrong);
  EXPECT_EQ(sent_.at(0), (Bytes{0xff, 0x03, 0xc0, 0x23, 3,   4,   0,   18,  13,  'A', 'c',
                                'c',  'e',  's',  's',  ' ', 'd', 'e', 'n', 'i', 'e', 'd'}));
  EXPECT_EQ(Bytes(wrong.begin() + 9, wrong.end()), Bytes(6, 0));  // wiped
  EXPECT_EQ(outcomes_, (std::vector<bool>{false}));

  sent_.clear();
  outcomes_.clear();
  CPap right(Parts());
  right.Start();
  {
    Bytes packet = Packet(1, 5, {3, 'a', 'n', 'n', 40, 's'});
    right.Input(packet);
  }  // lengths past the end: ignored
  EXPECT_TRUE(sent_.empty());
  {
    Bytes packet = Packet(1, 5, {3, 'a', 'n', 'n', 6, 's', 'e', 'c', 'r', 'e', 't'});
    right.Input(packet);
  }
  EXPECT_EQ(sent_.at(0),
            (Bytes{0xff, 0x03, 0xc0, 0x23, 2, 5, 0, 12, 7, 'W', 'e', 'l', 'c', 'o', 'm', 'e'}));
  {
    Bytes packet = Packet(1, 6, {3, 'a', 'n', 'n', 6, 's', 'e', 'c', 'r', 'e', 't'});
    right.Input(packet);
  }
  EXPECT_EQ(sent_.at(1), (Bytes{0xff, 0x03, 0xc0, 0x23, 2, 6, 0, 5, 0}));  // again, empty message
  EXPECT_EQ(outcomes_, (std::vector<bool>{true}));

  // An empty password logs nobody in, and silence ends after 30 s.
  CPap empty(Parts());
  empty.Start();
  {
    Bytes packet = Packet(1, 7, {6, 'n', 'o', 'p', 'a', 's', 's', 0});
    empty.Input(packet);
  }
  EXPECT_EQ(outcomes_.back(), false);
  CPap waiting(Parts());
  waiting.Start();
  Run(seconds(31));
  EXPECT_EQ(lines_.back(), "Error: PAP timed out waiting for authenticate-request");
}

}  // namespace
}  // namespace velmora::l2tp
