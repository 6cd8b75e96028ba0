#pragma once

namespace velmora {

// Asks the system to schedule this process ahead of ordinary ones. Returns false where it may
// not; the router runs on at normal priority then.
bool RaiseProcessPriority();

}  // namespace velmora
