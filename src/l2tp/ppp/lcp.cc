#include "l2tp/ppp/lcp.h"

namespace velmora::l2tp {

namespace {

enum LcpOption : uint8_t {
  kMru = 1,
  kAccm = 2,
  kAuthentication = 3,
  kMagic = 5,
  kPfc = 7,
  kAcfc = 8,
};
constexpr uint8_t kProtocolReject = 8;
constexpr uint8_t kEchoRequest = 9;
constexpr uint8_t kEchoReply = 10;
constexpr uint8_t kDiscardRequest = 11;

}  // namespace

CLcp::CLcp(LcpEvents& events, TimerService& timers, ServerLog& log,
           std::function<void(std::span<uint8_t>)> random_bytes)
    : events_(events),
      random_bytes_(std::move(random_bytes)),
      fsm_(*this, timers, log, kProtocolLcp) {
  wanted_.accm = true;
  wanted_.accm_value = 0;
  wanted_.pap = wanted_.chap = true;
  wanted_.magic = wanted_.pfc = wanted_.acfc = true;
  got_ = wanted_;
}

void CLcp::Start() {
  fsm_.passive = fsm_.silent = true;
  fsm_.Open();
  fsm_.LowerUp();
}

void CLcp::Close(const std::string& reason) {
  if (fsm_.state() == FsmState::kStopped) {
    fsm_.Close(reason);  // to Closed, with nothing to tell the user
    Finished();
    return;
  }
  fsm_.Close(reason);
}

uint32_t CLcp::NewMagic() {
  // Zero is no magic number: it is drawn again, and a source that keeps giving it yields 1.
  for (int draw = 0; draw < kMagicDraws; ++draw) {
    uint8_t bytes[2];
    random_bytes_(bytes);
    const uint32_t magic = (uint32_t{bytes[0]} << 8 | bytes[1]) & 0x7FFF;
    if (magic != 0) return magic;
  }
  return 1;
}

uint32_t CLcp::MagicForPeer() {
  const uint32_t magic = NewMagic();
  return magic != got_.magic_value ? magic : magic % 0x7FFF + 1;
}

void CLcp::RejectProtocol(std::span<const uint8_t> frame) {
  fsm_.Send(kProtocolReject, fsm_.NextId(), frame);
}

void CLcp::ResetRequest() {
  got_ = wanted_;
  got_.magic_value = NewMagic();
  his_ = {};
  fsm_.peer_mru = 1500;
}

void CLcp::AddOptions(std::vector<uint8_t>& out, size_t room) {
  if (got_.mru && got_.mru_value != 1500) {
    PutOption(out, kMru,
              {static_cast<uint8_t>(got_.mru_value >> 8), static_cast<uint8_t>(got_.mru_value)});
  }
  if (got_.accm && got_.accm_value != 0xFFFFFFFF) PutLongOption(out, kAccm, got_.accm_value);
  if (got_.chap) {
    PutOption(out, kAuthentication, {0xC2, 0x23, kChapMd5});
  } else if (got_.pap) {
    PutOption(out, kAuthentication, {0xC0, 0x23});
  }
  if (got_.magic) PutLongOption(out, kMagic, got_.magic_value);
  if (got_.pfc) PutOption(out, kPfc, {});
  if (got_.acfc) PutOption(out, kAcfc, {});
  if (out.size() > room) out.resize(room);
}

bool CLcp::NakCheck(std::span<const uint8_t> options) {
  if (fsm_.state() == FsmState::kOpened) return true;  // changes nothing now
  LcpOptions next = got_;
  bool proper = true, looped = false;
  ForEachOption(options, [&](uint8_t type, std::span<const uint8_t> v, std::span<const uint8_t>) {
    if (type == kMru && v.size() == 2) {
      const uint16_t mru = static_cast<uint16_t>(v[0] << 8 | v[1]);
      if (mru <= 1500) {
        next.mru = true;
        next.mru_value = mru;
      }
    } else if (type == kAccm && v.size() == 4 && got_.accm) {
      next.accm_value |= ReadLong(v);
    } else if (type == kAuthentication && v.size() >= 2) {
      const uint16_t protocol = static_cast<uint16_t>(v[0] << 8 | v[1]);
      if (protocol == kProtocolPap && got_.chap) {
        next.chap = false;  // the next request asks PAP
      } else if (protocol == kProtocolPap) {
        proper = false;  // PAP suggested for PAP
      } else if (got_.chap) {
        next.chap = false;
      } else {
        next.pap = false;
      }
    } else if (type == kMagic && v.size() == 4 && got_.magic) {
      next.magic_value = NewMagic();
      looped = true;
    } else if (type == kPfc) {
      next.pfc = false;
    } else if (type == kAcfc) {
      next.acfc = false;
    }
  });
  if (!proper) return false;
  got_ = next;
  loops_ = looped ? loops_ + 1 : 0;
  if (loops_ >= kLoopbackLimit) Close("Loopback detected");
  return true;
}

bool CLcp::RejectCheck(std::span<const uint8_t> options) {
  if (fsm_.state() == FsmState::kOpened) return true;
  ForEachOption(options, [&](uint8_t type, std::span<const uint8_t>, std::span<const uint8_t>) {
    switch (type) {
      case kMru:
        got_.mru = false;
        break;
      case kAccm:
        got_.accm = false;
        break;
      case kAuthentication:
        got_.chap = got_.pap = false;
        break;  // no PAP for one who rejects CHAP
      case kMagic:
        got_.magic = false;
        break;
      case kPfc:
        got_.pfc = false;
        break;
      case kAcfc:
        got_.acfc = false;
        break;
      default:
        break;
    }
  });
  return true;
}

uint8_t CLcp::RequestCheck(std::span<const uint8_t> options, std::vector<uint8_t>& answer,
                           bool reject_if_disagree) {
  std::vector<uint8_t> rejected, naked;
  LcpOptions his;
  ForEachOption(
      options, [&](uint8_t type, std::span<const uint8_t> v, std::span<const uint8_t> whole) {
        const auto reject = [&] { rejected.insert(rejected.end(), whole.begin(), whole.end()); };
        const auto nak = [&](const std::vector<uint8_t>& suggestion) {
          if (reject_if_disagree && type != kMagic) {
            reject();
          } else {
            naked.insert(naked.end(), suggestion.begin(), suggestion.end());
          }
        };
        if (type == kMru && v.size() == 2) {
          const uint16_t mru = static_cast<uint16_t>(v[0] << 8 | v[1]);
          if (mru >= kMinimumMru) {
            his.mru = true;
            his.mru_value = mru;
          } else {
            nak({kMru, 4, 0, static_cast<uint8_t>(kMinimumMru)});
          }
        } else if (type == kAccm && v.size() == 4) {
          his.accm = true;
          his.accm_value = ReadLong(v);
        } else if (type == kAuthentication && v.size() >= 2) {
          const uint16_t protocol = static_cast<uint16_t>(v[0] << 8 | v[1]);
          if (protocol == kProtocolPap && v.size() == 2) {
            if (his.chap)
              reject();
            else
              his.pap = true;
          } else if (protocol == kProtocolChap && v.size() == 3) {
            if (his.pap)
              reject();
            else if (v[2] == kChapMd5)
              his.chap = true;
            else
              nak({kAuthentication, 5, 0xC2, 0x23, kChapMd5});
          } else if (protocol == kProtocolPap || protocol == kProtocolChap) {
            reject();  // an unexpected length
          } else {
            nak({kAuthentication, 5, 0xC2, 0x23, kChapMd5});
          }
        } else if (type == kMagic && v.size() == 4) {
          const uint32_t magic = ReadLong(v);
          if (magic == 0 && reject_if_disagree) {
            reject();  // zero is illegal: Nak'd until the user has disagreed too often
          } else if (magic == 0 || (got_.magic && magic == got_.magic_value)) {
            std::vector<uint8_t> suggestion = {kMagic, 6};
            const uint32_t fresh = MagicForPeer();
            for (int shift : {24, 16, 8, 0})
              suggestion.push_back(static_cast<uint8_t>(fresh >> shift));
            nak(suggestion);
          } else {
            his.magic = true;
            his.magic_value = ReadLong(v);
          }
        } else if ((type == kPfc || type == kAcfc) && v.empty()) {
          (type == kPfc ? his.pfc : his.acfc) = true;
        } else {
          reject();
        }
      });
  const uint8_t code = ConfigureAnswer(options, rejected, naked, answer);
  if (code == kConfigureAck) his_ = his;
  return code;
}

void CLcp::Up() {
  if (!got_.magic) got_.magic_value = 0;
  if (!his_.magic) his_.magic_value = 0;
  if (his_.mru) fsm_.peer_mru = his_.mru_value;
  events_.LcpUp();
}

void CLcp::Down() {
  fsm_.peer_mru = 1500;
  events_.LcpDown();
}

bool CLcp::ExtendedCode(uint8_t code, uint8_t id, std::span<const uint8_t> data) {
  switch (code) {
    case kProtocolReject:
    case kEchoReply:
    case kDiscardRequest:
      return true;
    case kEchoRequest: {
      if (fsm_.state() != FsmState::kOpened || data.size() < 4) return true;
      std::vector<uint8_t> reply(data.begin(), data.end());
      for (int i = 0; i < 4; ++i) reply[i] = static_cast<uint8_t>(got_.magic_value >> (24 - 8 * i));
      fsm_.Send(kEchoReply, id, reply);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace velmora::l2tp
