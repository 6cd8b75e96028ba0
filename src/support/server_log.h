#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "support/clock.h"

namespace velmora {

// The server's messages: Log passes a text on, Error passes "Error: <text>" on and keeps the
// text as the most recent error. Errors a stranger can cause once per datagram ("Unknown tunnel
// 5") are passed on at most once a second per kind, with the count suppressed meanwhile. The sink
// must not block (the server gives it a queue). Server thread only.
class ServerLog {
 public:
  // `on_error` (may be empty) also learns each error's text.
  ServerLog(Clock& clock, std::function<void(std::string)> sink,
            std::function<void(const std::string&)> on_error = {})
      : clock_(clock), sink_(std::move(sink)), on_error_(std::move(on_error)) {}

  void Log(std::string text) { sink_(std::move(text)); }
  void Error(std::string text);
  // An error of `kind` (a fixed text naming it), throttled.
  void FrequentError(const std::string& kind, std::string text);
  const std::string& last_error() const { return last_error_; }

 private:
  struct Throttle {
    Clock::TimePoint last;
    uint32_t suppressed = 0;
  };

  Clock& clock_;
  std::function<void(std::string)> sink_;
  std::function<void(const std::string&)> on_error_;
  std::string last_error_;
  std::map<std::string, Throttle> throttles_;
};

}  // namespace velmora
