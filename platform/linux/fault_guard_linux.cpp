// On Linux the module's own work does not fault: it asks the kernel before it
// reads the time-stamp counter, and it checks every pointer it may be handed
// for null. It installs no signal handler, so the host's own fault handling
// is never in question; the guard is the work itself.
#include "platform/fault_guard.h"

namespace plat {

bool RunGuarded(GuardedWork work, void* context, const void** /*faultAddress*/) noexcept {
  work(context);
  return true;
}

}  // namespace plat
