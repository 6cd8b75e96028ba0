#pragma once

namespace velmora {

class Log;
class cerrorcode;

// How a source or sending thread reports the socket error that ends it: "!Errorcode=", the code
// and the system's text, except for an interrupted call.
void LogSourceError(Log& log, const cerrorcode& error);

}  // namespace velmora
