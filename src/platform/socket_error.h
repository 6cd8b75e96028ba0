#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// The one place where the system's error numbers become the socket error codes that cerrorcode
// carries (and back, for the text). Numbers without a code of their own are passed on as they are.
int32_t SocketErrorCode(int error_number);
// The system's text for a code.
std::string SocketErrorText(int32_t code);
// Throws cerrorcode with the code of the current errno.
[[noreturn]] void ThrowSocketError();

}  // namespace velmora
