#include "packet/source_error.h"

#include "platform/socket_error.h"
#include "support/cerrorcode.h"
#include "support/log.h"

namespace velmora {

void LogSourceError(Log& log, const cerrorcode& error) {
  if (error.code() == cerrorcode::kInterrupted) return;
  log << "!Errorcode=" << error.code() << ": " << SocketErrorText(error.code()).substr(0, 256)
      << "\n";
}

}  // namespace velmora
