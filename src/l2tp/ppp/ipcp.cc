#include "l2tp/ppp/ipcp.h"

#include <cstring>

#include "l2tp/ppp/ppp_frame.h"

namespace velmora::l2tp {

namespace {

enum IpcpOption : uint8_t {
  kIpAddresses = 1,
  kVjCompression = 2,
  kIpAddress = 3,
};

// An address as carried (network order) to and from option bytes.
uint32_t Address(std::span<const uint8_t> bytes) {
  uint32_t address;
  std::memcpy(&address, bytes.data(), 4);
  return address;
}

void PutAddress(std::vector<uint8_t>& out, uint32_t address) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  out.insert(out.end(), bytes, bytes + 4);
}

// Whether a user may have `address` at all: not in 0.0.0.0/8, loopback, multicast or the
// reserved block with the broadcast address.
bool UnicastNotLoopback(uint32_t address) {
  const uint8_t first = reinterpret_cast<const uint8_t*>(&address)[0];
  return first != 0 && first != 127 && first < 224;
}

}  // namespace

CIpcp::CIpcp(IpcpEvents& events, TimerService& timers, ServerLog& log, uint32_t local,
             uint32_t pool)
    : events_(events), fsm_(*this, timers, log, kProtocolIpcp) {
  wanted_.our_address = local;
  wanted_.his_address = pool;
  got_ = his_ = wanted_;
}

void CIpcp::Start() {
  fsm_.passive = fsm_.silent = true;
  fsm_.Open();
  fsm_.LowerUp();
}

void CIpcp::AddOptions(std::vector<uint8_t>& out, size_t room) {
  if (got_.old_addresses) {
    out.insert(out.end(), {kIpAddresses, 10});
    PutAddress(out, got_.our_address);
    PutAddress(out, got_.his_address);
  } else if (got_.address) {
    out.insert(out.end(), {kIpAddress, 6});
    PutAddress(out, got_.our_address);
  }
  if (out.size() > room) out.resize(room);
}

bool CIpcp::NakCheck(std::span<const uint8_t> options) {
  if (fsm_.state() == FsmState::kOpened) return true;  // changes nothing now
  IpcpOptions next = got_;
  bool proper = true, address_seen = false;
  ForEachOption(options, [&](uint8_t type, std::span<const uint8_t> v, std::span<const uint8_t>) {
    if (type == kIpAddress || type == kIpAddresses) {
      const size_t size = type == kIpAddress ? 4 : 8;
      if (address_seen || v.size() != size) {
        proper = false;
        return;
      }
      address_seen = true;
      if (type == kIpAddress) {
        if (Address(v) == 0) return;
        next.address = true;
        next.old_addresses = false;
        next.our_address = Address(v);
        return;
      }
      next.address = next.old_addresses = true;
      if (Address(v) != 0) next.our_address = Address(v);
      if (Address(v.subspan(4)) != 0) next.his_address = Address(v.subspan(4));
    } else if (type == kVjCompression && v.size() != 2 && v.size() != 4) {
      proper = false;
    }
  });
  if (proper) got_ = next;
  return proper;
}

bool CIpcp::RejectCheck(std::span<const uint8_t> options) {
  if (fsm_.state() == FsmState::kOpened) return true;
  ForEachOption(options, [&](uint8_t type, std::span<const uint8_t>, std::span<const uint8_t>) {
    if (type == kIpAddress || type == kIpAddresses) got_.address = got_.old_addresses = false;
  });
  return true;
}

std::optional<uint32_t> CIpcp::JudgeUserAddress(uint32_t asked) const {
  const uint32_t pool = wanted_.his_address;
  if (asked != 0 && asked == pool) return std::nullopt;
  if (UnicastNotLoopback(asked) && asked != wanted_.our_address &&
      !events_.AddressOfAnotherCall(asked)) {
    return std::nullopt;
  }
  return pool;  // 0 when the call has no pool address: the option is rejected
}

uint8_t CIpcp::RequestCheck(std::span<const uint8_t> options, std::vector<uint8_t>& answer,
                            bool reject_if_disagree) {
  std::vector<uint8_t> rejected, naked;
  IpcpOptions his = wanted_;
  ForEachOption(
      options, [&](uint8_t type, std::span<const uint8_t> v, std::span<const uint8_t> whole) {
        const auto reject = [&] { rejected.insert(rejected.end(), whole.begin(), whole.end()); };
        if (type == kIpAddress && v.size() == 4) {
          const std::optional<uint32_t> suggestion = JudgeUserAddress(Address(v));
          if (!suggestion) {
            his.his_address = Address(v);
          } else if (*suggestion == 0 || reject_if_disagree) {
            reject();
          } else {
            naked.insert(naked.end(), {kIpAddress, 6});
            PutAddress(naked, *suggestion);
          }
        } else if (type == kIpAddresses && v.size() == 8) {
          const std::optional<uint32_t> user = JudgeUserAddress(Address(v));
          const uint32_t server = Address(v.subspan(4));
          const bool server_fine = server != 0 || server == wanted_.our_address;
          if (user && *user == 0) {
            reject();
          } else if (!user && server_fine) {
            his.his_address = Address(v);
          } else if (reject_if_disagree) {
            reject();
          } else {
            naked.insert(naked.end(), {kIpAddresses, 10});
            PutAddress(naked, user.value_or(Address(v)));
            PutAddress(naked, server_fine ? server : wanted_.our_address);
          }
        } else {
          reject();  // VJ, name servers and anything else
        }
      });
  const uint8_t code = ConfigureAnswer(options, rejected, naked, answer);
  if (code == kConfigureAck) {
    his_ = his;
    events_.AddressAcknowledged(his_.his_address);
  }
  return code;
}

}  // namespace velmora::l2tp
