// The processor clock-rate measurement: time-stamp cycles across a timed busy
// wait, less the cycles of its twin that does not wait, in whole megahertz.
#pragma once

#include <cstdint>

#include "measure/spin_wait.h"

// What a measurement changed in the scheduling and has yet to put back. Each
// flag is raised before the matching set call, so a failure at any point
// leaves enough here to restore what was found. classChanged also holds the
// measurement's claim on the class.
struct SchedulingChange {
  bool threadChanged = false;
  std::int32_t oldThreadPriority = 0;
  bool classChanged = false;
  std::uint32_t oldPriorityClass = 0;
  // The class in force once the measurement set its own; 0 until read.
  std::uint32_t classInForce = 0;
};

// Measures with the given thread priority (kThreadPriorityErrorReturn leaves
// it alone) and priority class (0 leaves it alone, and so does a class that
// another measurement holds); both are restored before returning. megahertz
// is 0 when passes or delayMs is 0. False, with the scheduling restored,
// when the thread may not spin as it is scheduled, or when the
// high-resolution counter failed or stood still during a wait. Each change
// is recorded in change as it is made, so that a caller whose guard abandons
// the measurement half way can put things back.
bool MeasureCPUSpeed(std::uint32_t passes, std::uint32_t delayMs, std::int32_t threadPriority,
                     std::uint32_t priorityClass, SchedulingChange& change,
                     std::int32_t& megahertz);

// Restores the thread priority, then the priority class, for each change
// recorded, and clears the record. The class goes back only where the one in
// force is still the measurement's: a class the host set meanwhile stands.
// A thread restore that was refused is tried once more after the class is
// back.
void RestoreScheduling(SchedulingChange& change);

// The cycle difference (waitCycles - overheadCycles) in megahertz. Where the
// counter measured the waits (ticks: the waits' less their twins'), over the
// time they really lasted: difference x ticksPerSecond / (ticks x 10^6).
// Without a counter (no ticks), over the time asked for:
// difference / passes / delayMs / 1000. Divisions are signed and truncate
// toward zero; the result is the low 32 bits.
std::int32_t CyclesToMegahertz(std::int64_t waitCycles, std::int64_t overheadCycles,
                               std::uint32_t passes, std::uint32_t delayMs, CounterSpan waited);
