#pragma once

#include <stdexcept>
#include <string>

namespace velmora::TessaroBWControl {

// The one failure of bandwidth management: a refused profile or address operation, with the text
// shown to the operator. An operation that raises it has changed nothing.
class BWCError : public std::logic_error {
 public:
  explicit BWCError(const std::string& message) : std::logic_error(message) {}
};

}  // namespace velmora::TessaroBWControl
