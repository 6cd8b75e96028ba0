#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora::l2tp {

// Header flag bits of the first byte.
inline constexpr uint8_t kFlagT = 0x80;  // control message
inline constexpr uint8_t kFlagL = 0x40;  // length present
inline constexpr uint8_t kFlagS = 0x08;  // Ns and Nr present
inline constexpr uint8_t kFlagO = 0x02;  // offset size present
inline constexpr uint8_t kFlagP = 0x01;
inline constexpr uint8_t kVersion = 2;

// What hidden AVPs of a message are read with: the tunnel's peer record, if any, and its secret.
struct HiddenAvpKey {
  bool has_peer = false;
  std::span<const uint8_t> secret;
};

// One attribute-value pair as read from a message. `value` stays valid until the next hidden
// AVP is read from the same message.
struct Avp {
  bool mandatory = false;
  bool hidden = false;
  uint16_t vendor = 0;
  uint16_t type = 0;
  std::span<const uint8_t> value;
  // The value as a big-endian 16-bit number; its size has been checked.
  uint16_t Word() const { return static_cast<uint16_t>(value[0] << 8 | value[1]); }
};

// One L2TP control message, received or being built: its header fields and up to 4096 bytes of
// AVPs, held in a buffer of the size they take, with a read position that walks the AVPs.
// Decoding and building only; sockets are the server's. Owned by one thread at a time.
class CDatagram {
 public:
  static constexpr size_t kCapacity = 4096;
  static constexpr size_t kMaxAvpValue = 1017;

  // A control message with T, L and S set and, unless it is a ZLB, its Message Type AVP.
  static std::unique_ptr<CDatagram> NewControl(uint16_t type, uint16_t tunnel_id,
                                               uint16_t session_id);
  // Checks a received control message and reads its Message Type AVP; none with `error` set
  // when the message is to be dropped.
  static std::unique_ptr<CDatagram> ParseControl(std::span<const uint8_t> received,
                                                 std::string& error);

  bool AddAvp(bool mandatory, uint16_t vendor, uint16_t type, std::span<const uint8_t> value,
              std::string& error);
  // Mandatory vendor-0 AVPs with a big-endian number or text as value.
  bool AddU16(uint16_t type, uint16_t value, std::string& error);
  bool AddU32(uint16_t type, uint32_t value, std::string& error);
  bool AddText(uint16_t type, std::string_view text, std::string& error);
  // The Result Code AVP of StopCCN and CDN: result and error code, then at most 251 bytes of text.
  bool AddResultCode(uint16_t result, uint16_t error_code, std::string_view text,
                     std::string& error);

  // The next AVP behind the read position; none at the end (error left empty) or on a fault
  // (`error` set). `key` null: the message has no tunnel, so no AVP of it may be hidden.
  std::optional<Avp> NextAvp(const HiddenAvpKey* key, std::string& error);
  // The first AVP of that vendor and type behind the read position, which it leaves unchanged.
  std::optional<Avp> FindAvp(const HiddenAvpKey* key, uint16_t vendor, uint16_t type,
                             std::string& error);

  // The message as sent: header, then the AVPs, with the length field filled in.
  std::vector<uint8_t> WireBytes() const;

  uint16_t message_type = 0;
  uint8_t flags = kFlagT | kFlagL | kFlagS;
  uint8_t version = kVersion;
  uint16_t length = 0;
  uint16_t tunnel_id = 0;
  uint16_t session_id = 0;
  uint16_t ns = 0;
  uint16_t nr = 0;
  uint16_t offset_size = 0;

  std::span<const uint8_t> payload() const { return payload_; }
  size_t position() const { return position_; }
  // The memory the message holds: the object and its buffers.
  size_t footprint() const {
    return sizeof(CDatagram) + payload_.capacity() + unhidden_.capacity();
  }

 private:
  std::optional<Avp> Unhide(const Avp& avp, const HiddenAvpKey* key, std::string& error);

  std::vector<uint8_t> payload_;
  size_t position_ = 0;
  size_t random_vector_ = 0;  // position of the last Random Vector AVP + 1; 0 = none yet
  std::vector<uint8_t> unhidden_;
};

// Where the PPP frame of a data message lies in the received bytes, and for which session.
struct DataMessage {
  uint16_t tunnel_id = 0;
  uint16_t session_id = 0;
  size_t frame_offset = 0;
  size_t frame_length = 0;
};

// The header of a received data message (T clear, version checked by the caller), checked
// against the received size with or without the L bit; a leading 0xFF 0x03 is skipped.
std::optional<DataMessage> ParseDataMessage(std::span<const uint8_t> received);

}  // namespace velmora::l2tp
