#include "app/settings.h"

#include <arpa/inet.h>

namespace velmora {

int64_t TrafficLimitBytes(int32_t max_payload_cut) {
  return int64_t{max_payload_cut} * 256000 / 1000000;
}

uint32_t DottedToAddress(const std::string& text) {
  return inet_addr(text.c_str());
}

std::string AddressToDotted(uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

}  // namespace velmora
