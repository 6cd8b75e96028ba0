#include "l2tp/server_context.h"

#include <sys/random.h>

#include "platform/address_text.h"

namespace velmora::l2tp {

void RandomBytes(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n > 0) done += static_cast<size_t>(n);
  }
}

uint16_t RandomFreeId(const ServerContext& server, const std::function<bool(uint16_t)>& in_use) {
  constexpr uint16_t kIds = 32767;
  uint16_t random = 0;
  server.random_bytes({reinterpret_cast<uint8_t*>(&random), sizeof random});
  // From a random start, the first identifier not in use: a few steps while the table is sparse,
  // and at worst one walk over all of them.
  const uint16_t start = random % kIds;
  for (uint16_t step = 0; step < kIds; ++step) {
    const uint16_t id = static_cast<uint16_t>((start + step) % kIds + 1);
    if (!in_use(id)) return id;
  }
  return 0;
}

bool StrangerAnswers::Take(Clock::TimePoint now) {
  constexpr Clock::Duration kRefill = Clock::Duration(std::chrono::seconds(1)) / kPerSecond;
  if (!refilled_) refilled_ = now;
  const int64_t refills = (now - *refilled_) / kRefill;
  if (refills >= kBurst - tokens_) {
    tokens_ = kBurst;
    refilled_ = now;
  } else {
    tokens_ += static_cast<int>(refills);
    *refilled_ += refills * kRefill;
  }
  if (tokens_ == 0) return false;
  --tokens_;
  return true;
}

bool MayAnswerStranger(ServerContext& server, const sockaddr_in& to) {
  if (server.stranger_answers.Take(server.clock.Now())) return true;
  server.log.FrequentError("stranger not answered",
                           "No answer to " + AddressToDotted(to.sin_addr.s_addr) + ": over " +
                               std::to_string(StrangerAnswers::kPerSecond) +
                               " answers a second to senders without a tunnel");
  return false;
}

}  // namespace velmora::l2tp
