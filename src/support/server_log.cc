#include "support/server_log.h"

namespace velmora {

void ServerLog::Error(std::string text) {
  last_error_ = text;
  if (on_error_) on_error_(last_error_);
  sink_("Error: " + std::move(text));
}

void ServerLog::FrequentError(const std::string& kind, std::string text) {
  const Clock::TimePoint now = clock_.Now();
  auto [throttle, first] = throttles_.try_emplace(kind, Throttle{now, 0});
  if (!first && now - throttle->second.last < std::chrono::seconds(1)) {
    ++throttle->second.suppressed;
    return;
  }
  if (throttle->second.suppressed > 0) {
    text += " (" + std::to_string(throttle->second.suppressed) + " more suppressed)";
  }
  throttle->second = {now, 0};
  Error(std::move(text));
}

}  // namespace velmora
