// Runs a piece of work so that any failure inside it, a C++ exception or a
// processor fault the OS raises on the calling thread, comes back as a
// result instead of ending the host process.
#pragma once

namespace plat {

using GuardedWork = void (*)(void* context);

// Runs work(context) on the calling thread. True when it returned normally;
// false when it threw or faulted. After a fault the work's own frames are
// abandoned, so the work must keep whatever it needs to clean up in memory
// reachable through context, and must own no destructors on its frames.
// Entering and leaving the guard makes no system call.
bool RunGuarded(GuardedWork work, void* context) noexcept;

// Fault interception is live from the first Retain to the matching last
// Release; outside that span, and for faults outside RunGuarded, the host's
// own fault handling is left as it was. A host that installs a handler of its
// own later takes the faults first; chaining to the handler it found keeps
// the guard working.
void RetainFaultInterception();
void ReleaseFaultInterception();

}  // namespace plat
