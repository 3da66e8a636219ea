// Runs a piece of work so that a processor fault the OS raises on the calling
// thread inside it comes back as a result instead of ending the host process.
// The module throws no C++ exceptions, so there are none to catch.
#pragma once

#include <atomic>

namespace plat {

using GuardedWork = void (*)(void* context);

// Runs work(context) on the calling thread. True when it returned normally;
// false when it faulted. After a fault the work's own frames are
// abandoned, so the work must keep whatever it needs to clean up in memory
// reachable through context, and must own no destructors on its frames.
// Entering and leaving the guard makes no system call.
bool RunGuarded(GuardedWork work, void* context) noexcept;

// Keeps what the work has written so far in memory, in program order, before
// the next step that may fault: after a fault the caller reads it from there.
inline void PublishForGuard() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Fault interception is live from the first Retain to the matching last
// Release; outside that span, and for faults outside RunGuarded, the host's
// own fault handling is left as it was. A host that installs a handler of its
// own later takes the faults first; chaining to the handler it found keeps
// the guard working.
void RetainFaultInterception();
void ReleaseFaultInterception();

}  // namespace plat
