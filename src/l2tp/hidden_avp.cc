#include "l2tp/hidden_avp.h"

#include "support/md5.h"

namespace velmora::l2tp {

namespace {

// Exclusive-ors `bytes` in place with b1 = MD5(type, secret, vector), b(i) = MD5(secret, c(i-1)),
// where c is the hidden text: taken before the change when unhiding, after it when hiding.
void ApplyChain(uint16_t type, std::span<const uint8_t> secret,
                std::span<const uint8_t> random_vector, std::span<uint8_t> bytes, bool hiding) {
  const uint8_t type_bytes[2] = {static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type)};
  Md5Digest mask = Md5().Update(type_bytes).Update(secret).Update(random_vector).Final();
  for (size_t start = 0; start < bytes.size(); start += 16) {
    const std::span<uint8_t> chunk =
        bytes.subspan(start, std::min<size_t>(16, bytes.size() - start));
    uint8_t hidden[16] = {};
    for (size_t i = 0; i < chunk.size(); ++i) {
      if (!hiding) hidden[i] = chunk[i];
      chunk[i] ^= mask[i];
      if (hiding) hidden[i] = chunk[i];
    }
    mask = Md5().Update(secret).Update(std::span<const uint8_t>(hidden, 16)).Final();
  }
}

}  // namespace

std::vector<uint8_t> HideAvpValue(uint16_t type, std::span<const uint8_t> secret,
                                  std::span<const uint8_t> random_vector,
                                  std::span<const uint8_t> value, size_t padding) {
  std::vector<uint8_t> bytes(2 + value.size() + padding, 0);
  bytes[0] = static_cast<uint8_t>(value.size() >> 8);
  bytes[1] = static_cast<uint8_t>(value.size());
  std::copy(value.begin(), value.end(), bytes.begin() + 2);
  ApplyChain(type, secret, random_vector, bytes, true);
  return bytes;
}

std::optional<std::vector<uint8_t>> UnhideAvpValue(uint16_t type, std::span<const uint8_t> secret,
                                                   std::span<const uint8_t> random_vector,
                                                   std::span<const uint8_t> hidden,
                                                   std::string& error) {
  std::vector<uint8_t> bytes(hidden.begin(), hidden.end());
  if (bytes.size() < 2) {
    error = "Received hidden AVP of length " + std::to_string(hidden.size() + 6) + " (too short)";
    return std::nullopt;
  }
  ApplyChain(type, secret, random_vector, bytes, false);
  const size_t length = size_t{bytes[0]} << 8 | bytes[1];
  if (length > bytes.size() - 2) {
    error = "Hidden length " + std::to_string(length) + " too long in AVP of length " +
            std::to_string(hidden.size() + 6);
    return std::nullopt;
  }
  return std::vector<uint8_t>(bytes.begin() + 2, bytes.begin() + 2 + static_cast<long>(length));
}

}  // namespace velmora::l2tp
