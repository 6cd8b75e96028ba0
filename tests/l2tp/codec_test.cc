#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "l2tp/avp_table.h"
#include "l2tp/datagram.h"
#include "l2tp/hidden_avp.h"
#include "support/md5.h"
#include "testing/bytes.h"

namespace velmora::l2tp {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::AsBytes;
using testing::Hex;

TEST(CodecTest, AControlMessageIsBuiltByteForByte) {
  auto sccrp = CDatagram::NewControl(kSccrp, 0x1234, 0);
  std::string error;
  ASSERT_TRUE(sccrp->AddU16(kAvpProtocolVersion, 0x0100, error));
  ASSERT_TRUE(sccrp->AddText(kAvpHostName, "lns", error));
  sccrp->ns = 1;
  sccrp->nr = 2;
  // T L S, version 2, length 37, tunnel 0x1234, session 0, Ns 1, Nr 2; Message Type 2; Protocol
  // Version 1.0; Host Name "lns".
  EXPECT_EQ(Hex(sccrp->WireBytes()),
            "c802002512340000"
            "00010002"
            "8008000000000002"
            "8008000000020100"
            "8009000000076c6e73");
  EXPECT_EQ(Hex(CDatagram::NewControl(kZlb, 7, 0)->WireBytes()), "c802000c0007000000000000");
}

TEST(CodecTest, AvpLengthLimits) {
  auto message = CDatagram::NewControl(kHello, 1, 0);
  std::string error;
  EXPECT_FALSE(message->AddAvp(true, 0, kAvpHostName, Bytes(1018), error));
  EXPECT_EQ(error, "AVP length of 1018 too long");
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(message->AddAvp(true, 0, kAvpHostName, Bytes(1017), error));
  // 8 + 3 x 1023 bytes used: 1019 left, one short of another 1023-byte AVP.
  EXPECT_FALSE(message->AddAvp(true, 0, kAvpHostName, Bytes(1017), error));
  EXPECT_EQ(error, "No room for AVP of length 1023");
  EXPECT_TRUE(message->AddAvp(true, 0, kAvpHostName, Bytes(1013), error));
  EXPECT_EQ(message->payload().size(), CDatagram::kCapacity);
}

TEST(CodecTest, MessagesHoldOnlyTheBytesTheyCarry) {
  auto hello = CDatagram::NewControl(kHello, 1, 0);
  EXPECT_LT(sizeof(CDatagram), 256u);
  EXPECT_EQ(hello->footprint(), sizeof(CDatagram) + 8);  // the Message Type AVP
  std::string error;
  ASSERT_TRUE(hello->AddText(kAvpHostName, "lns", error));
  EXPECT_EQ(hello->footprint(), sizeof(CDatagram) + 8 + 9);
  const auto parsed = CDatagram::ParseControl(hello->WireBytes(), error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->footprint(), sizeof(CDatagram) + 17);
}

TEST(CodecTest, ParsedControlMessagesReadBackWhatWasBuilt) {
  auto built = CDatagram::NewControl(kIcrq, 5, 0);
  std::string error;
  built->AddU16(kAvpAssignedSessionId, 77, error);
  built->AddAvp(false, 9, 1, AsBytes("vendor"), error);
  built->ns = 3;
  auto parsed = CDatagram::ParseControl(built->WireBytes(), error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->message_type, kIcrq);
  EXPECT_EQ(parsed->tunnel_id, 5);
  EXPECT_EQ(parsed->ns, 3);
  const std::optional<Avp> vendor = parsed->FindAvp(nullptr, 9, 1, error);
  ASSERT_TRUE(vendor);
  EXPECT_FALSE(vendor->mandatory);
  EXPECT_FALSE(parsed->FindAvp(nullptr, 0, kAvpHostName, error));
  EXPECT_EQ(error, "AVP of vendor/type (0, 7) not found");
  const std::optional<Avp> session = parsed->NextAvp(nullptr, error);  // the search moved nothing
  ASSERT_TRUE(session);
  EXPECT_EQ(session->type, kAvpAssignedSessionId);
  EXPECT_EQ(Hex(session->value), "004d");
  parsed->NextAvp(nullptr, error);
  EXPECT_FALSE(parsed->NextAvp(nullptr, error));
  EXPECT_TRUE(error.empty());
}

// The message bytes with the AVP bytes `avps` behind a T L S header.
Bytes Control(const std::string& avps_hex) {
  Bytes avps;
  for (size_t i = 0; i + 1 < avps_hex.size(); i += 2)
    avps.push_back(std::stoi(avps_hex.substr(i, 2), nullptr, 16));
  Bytes out = {0xc8, 0x02, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  // resize and copy: GCC 12 at -O3 misreads an insert behind a 12-byte vector as out of bounds.
  out.resize(12 + avps.size());
  if (!avps.empty()) std::memcpy(out.data() + 12, avps.data(), avps.size());
  out[2] = static_cast<uint8_t>(out.size() >> 8);
  out[3] = static_cast<uint8_t>(out.size());
  return out;
}

TEST(CodecTest, RefusedControlMessagesAndTheirMessages) {
  const std::pair<Bytes, std::string> cases[] = {
      {Control("8009000000076c6e73"), "Invalid control message: First AVP must be message type"},
      {Control("800900000000000100"), "Invalid length 9 for message-type AVP"},
      {Control("00080000000000010"), "Invalid control message: M bit not set on message-type AVP"},
      {Control("8005000000"), "Received AVP of length 5 (too short)"},
      {Control("80ff0000000000"), "Received AVP of length 255 too long for rest of datagram"},
      {Control("a0080000000000010"), "AVP with reserved bits set to non-zero"},
      {Control("c0080000000000010"), "AVP cannot be hidden"},
      {Bytes{0xc8, 0x02, 0x00, 0x40, 0, 1, 0, 0, 0, 0, 0, 0},
       "Invalid length field 64 greater than received datagram size 12"},
      {Bytes{0xc8, 0x02, 0x00, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}, "Invalid length of datagram 8"},
      {Bytes{0xc8, 0x02, 0x00}, "Invalid length of datagram 3"},
      {Bytes{0xca, 0x02, 0x00, 0x0e, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0},
       "Invalid control frame: O bit is set"},
  };
  for (const auto& [bytes, message] : cases) {
    std::string error;
    EXPECT_FALSE(CDatagram::ParseControl(bytes, error)) << message;
    EXPECT_EQ(error, message);
  }
  std::string error;
  const auto zlb = CDatagram::ParseControl(Control(""), error);
  ASSERT_TRUE(zlb);
  EXPECT_EQ(zlb->message_type, kZlb);
  EXPECT_EQ(MessageTypeName(zlb->message_type), "ZLB");
  EXPECT_EQ(MessageTypeName(99), "Unknown_Message#99");
}

TEST(CodecTest, HiddenAvpsBothWays) {
  const Bytes secret = {'s', 'e', 'c', 'r', 'e', 't'};
  const Bytes vector = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  // Values of every length around the 16-byte chunks, with and without padding.
  for (size_t size : {0, 1, 13, 14, 15, 16, 30, 31, 100}) {
    const Bytes value(size, 0xab);
    const Bytes hidden = HideAvpValue(kAvpAssignedTunnelId, secret, vector, value, size % 3);
    if (size > 0) {
      EXPECT_NE(Hex(hidden).substr(4, size * 2), Hex(value));
    }
    std::string error;
    EXPECT_EQ(UnhideAvpValue(kAvpAssignedTunnelId, secret, vector, hidden, error), value) << size;
  }
  // RFC 2661 4.3: b1 = MD5(type + secret + vector); the first two bytes hide the length.
  const Bytes hidden = HideAvpValue(kAvpAssignedTunnelId, secret, vector, Bytes{0x12, 0x34});
  Bytes input = {0, kAvpAssignedTunnelId};
  input.insert(input.end(), secret.begin(), secret.end());
  input.insert(input.end(), vector.begin(), vector.end());
  const Md5Digest b1 = Md5().Update(input).Final();
  EXPECT_EQ(hidden,
            (Bytes{static_cast<uint8_t>(b1[0]), static_cast<uint8_t>(b1[1] ^ 2),
                   static_cast<uint8_t>(b1[2] ^ 0x12), static_cast<uint8_t>(b1[3] ^ 0x34)}));

  // In a message: after a Random Vector, read with the tunnel's secret.
  auto message = CDatagram::NewControl(kSccrq, 0, 0);
  std::string error;
  message->AddAvp(true, 0, kAvpRandomVector, vector, error);
  message->AddAvp(true, 0, kAvpAssignedTunnelId, hidden, error);
  auto wire = message->WireBytes();
  wire[12 + 8 + 22] |= 0x40;  // the H bit of the hidden AVP
  auto parsed = CDatagram::ParseControl(wire, error);
  ASSERT_TRUE(parsed) << error;
  HiddenAvpKey key{.has_peer = true, .secret = secret};
  const std::optional<Avp> tunnel = parsed->FindAvp(&key, 0, kAvpAssignedTunnelId, error);
  ASSERT_TRUE(tunnel) << error;
  EXPECT_TRUE(tunnel->hidden);
  EXPECT_EQ(Hex(tunnel->value), "1234");
  const std::pair<HiddenAvpKey, std::string> refusals[] = {
      {{.has_peer = false}, "No peer??"},
      {{.has_peer = true}, "No shared secret to unhide AVP"},
  };
  for (const auto& [bad_key, message_text] : refusals) {
    EXPECT_FALSE(parsed->FindAvp(&bad_key, 0, kAvpAssignedTunnelId, error));
    EXPECT_EQ(error, message_text);
  }
  // A wrong secret unhides a nonsense length that is refused, never read past the AVP.
  const Bytes wrong = {'w', 'r', 'o', 'n', 'g'};
  HiddenAvpKey wrong_key{.has_peer = true, .secret = wrong};
  EXPECT_FALSE(parsed->FindAvp(&wrong_key, 0, kAvpAssignedTunnelId, error));
  EXPECT_EQ(error.substr(0, 14), "Hidden length ");
}

TEST(CodecTest, HiddenAvpRefusals) {
  const Bytes secret = {'k'};
  HiddenAvpKey key{.has_peer = true, .secret = secret};
  const auto first_error = [&](const std::string& avps) {
    std::string error;
    auto parsed = CDatagram::ParseControl(Control("8008000000000001" + avps), error);
    if (!parsed) return error;
    while (parsed->NextAvp(&key, error)) {
    }
    return error;
  };
  EXPECT_EQ(first_error("c00800000009abcd"),
            "Cannot unhide AVP unless Random Vector received first");
  EXPECT_EQ(first_error("c0070000000e00"), "Received hidden AVP of length 7 (too short)");
  EXPECT_EQ(first_error("c00a0000002400010203"), "Invalid random vector AVP has H bit set");
  EXPECT_EQ(first_error("800a0000002400010203c00800000007abcd"),
            "AVP of type Host Name cannot be hidden, but H bit set");
}

TEST(CodecTest, CheckAvpByTheTable) {
  std::string error;
  EXPECT_TRUE(CheckAvp(0, kAvpResultCode, 2, true, error));
  EXPECT_FALSE(CheckAvp(0, kAvpResultCode, 1, true, error));
  EXPECT_TRUE(CheckAvp(0, kAvpChallengeResponse, 16, true, error));
  EXPECT_FALSE(CheckAvp(0, kAvpChallengeResponse, 15, true, error));
  EXPECT_TRUE(error.empty());
  EXPECT_TRUE(CheckAvp(0, 40, 3, false, error));
  EXPECT_FALSE(CheckAvp(0, 40, 3, true, error));
  EXPECT_EQ(error, "Unknown mandatory AVP of type 40");
  EXPECT_TRUE(CheckAvp(311, 1, 3, false, error));
  EXPECT_FALSE(CheckAvp(311, 1, 3, true, error));
  EXPECT_EQ(error, "Unknown mandatory AVP (vendor 311, type 1)");
}

TEST(CodecTest, DataMessagesWithAndWithoutLengthAndOffset) {
  // No L: the frame runs to the end; 0xFF 0x03 is skipped.
  Bytes plain = {0x00, 0x02, 0, 5, 0, 9, 0xff, 0x03, 0xc0, 0x21, 1};
  auto m = ParseDataMessage(plain);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->tunnel_id, 5);
  EXPECT_EQ(m->session_id, 9);
  EXPECT_EQ(m->frame_offset, 8u);
  EXPECT_EQ(m->frame_length, 3u);
  // L, S and an offset of 2 bytes of padding; the length field ends the frame before the tail.
  Bytes full = {0x4a, 0x02, 0, 16, 0, 5, 0, 9, 0, 0, 0, 0, 0, 2, 0xee, 0xee, 0xc0, 0x21, 0x77};
  m = ParseDataMessage(full);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->frame_offset, 16u);
  EXPECT_EQ(m->frame_length, 0u);
  full[3] = 18;
  EXPECT_EQ(ParseDataMessage(full)->frame_length, 2u);
  full[3] = 20;  // longer than received
  EXPECT_FALSE(ParseDataMessage(full));
  full[3] = 18;
  full[13] = 200;  // offset past the end
  EXPECT_FALSE(ParseDataMessage(full));
  for (size_t cut = 0; cut < 6; ++cut) EXPECT_FALSE(ParseDataMessage(std::span(plain).first(cut)));
}

}  // namespace
}  // namespace velmora::l2tp
