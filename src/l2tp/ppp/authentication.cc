#include "l2tp/ppp/authentication.h"

#include <cstring>

namespace velmora::l2tp {

void Wipe(std::span<uint8_t> secret) {
  if (!secret.empty()) explicit_bzero(secret.data(), secret.size());
}

void Wipe(std::string& secret) {
  Wipe({reinterpret_cast<uint8_t*>(secret.data()), secret.size()});
  secret.clear();
}

}  // namespace velmora::l2tp
