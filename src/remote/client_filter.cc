#include "remote/client_filter.h"

#include <arpa/inet.h>

#include <charconv>
#include <optional>

#include "platform/address_text.h"

namespace velmora {

namespace {

std::string_view Trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// A full dotted quad (255.255.255.255 too), host order; none for anything else.
std::optional<uint32_t> Quad(std::string_view text) {
  in_addr parsed{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1) return std::nullopt;
  return ntohl(parsed.s_addr);
}

// One entry as address and mask, host order.
std::optional<std::pair<uint32_t, uint32_t>> Network(std::string_view entry) {
  const size_t slash = entry.find('/');
  const std::optional<uint32_t> address = Quad(entry.substr(0, slash));
  if (!address) return std::nullopt;
  int bits = 32;
  if (slash != std::string_view::npos) {
    const std::string_view length = entry.substr(slash + 1);
    const auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bits);
    if (error != std::errc() || end != length.data() + length.size() || bits < 0 || bits > 32) {
      return std::nullopt;
    }
  }
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  return std::make_pair(*address & mask, mask);
}

}  // namespace

ClientFilter::ClientFilter(std::string_view text, std::vector<std::string>* rejected) {
  restricted_ = !Trimmed(text).empty();
  while (!text.empty()) {
    const size_t comma = std::min(text.find(','), text.size());
    const std::string_view entry = Trimmed(text.substr(0, comma));
    text.remove_prefix(std::min(comma + 1, text.size()));
    if (entry.empty()) continue;
    if (const auto network = Network(entry)) {
      networks_.push_back(*network);
    } else if (rejected != nullptr) {
      rejected->emplace_back(entry);
    }
  }
}

bool ClientFilter::Allows(uint32_t address) const {
  if (!restricted_) return true;
  const uint32_t host = ntohl(address);
  for (const auto& [network, mask] : networks_) {
    if ((host & mask) == network) return true;
  }
  return false;
}

}  // namespace velmora
