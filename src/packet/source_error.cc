#include "packet/source_error.h"

#include <string>

#include "platform/socket_error.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

void LogSourceError(Log& log, const cerrorcode& error) {
  if (error.code() == cerrorcode::kInterrupted) return;
  // One piece, so that the line of one thread never interleaves with another's.
  log << "!Errorcode=" + std::to_string(error.code()) + ": " +
             SocketErrorText(error.code()).substr(0, 256) + "\n";
}

}  // namespace velmora
