#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "support/server_log.h"
#include "support/timer_service.h"

namespace velmora::l2tp {

// What PAP and CHAP of one link work with: timers, the log, the frames out, the user list (the
// password of a user, as a copy), the random source, and where the outcome goes.
struct AuthenticationParts {
  TimerService& timers;
  ServerLog& log;
  std::function<void(std::span<const uint8_t>)> output;
  std::function<std::optional<std::string>(const std::string& name)> password_of;
  std::function<void(std::span<uint8_t>)> random_bytes;
  std::function<void(bool success)> done;
};

// Overwrites a secret so that no copy of it outlives its use.
void Wipe(std::string& secret);
void Wipe(std::span<uint8_t> secret);

}  // namespace velmora::l2tp
