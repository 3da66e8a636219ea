// The two timed busy waits whose cycle counts the measurement subtracts.
#pragma once

#include <cstdint>

// Calls that the compiler must keep as calls: the cycles counted around them
// include exactly one call and one return each.
#if defined(__clang__)
#define MEASURE_KEEP_CALL __attribute__((noinline))
#else
#define MEASURE_KEEP_CALL __attribute__((noinline, noclone, noipa))
#endif

// How long a wait lasted by the high-resolution counter: the ticks from its
// start reading to its last, and the counter's ticks per second. Both are 0
// when there is no counter.
struct CounterSpan {
  std::int64_t ticks;
  std::int64_t ticksPerSecond;
};

// Busy-waits ms milliseconds on the high-resolution counter; returns at once
// when there is no counter. A wait preempted near its end lasts longer than
// asked, which the span shows.
MEASURE_KEEP_CALL CounterSpan SpinWait(std::uint32_t ms);

// The same preparation as SpinWait without the wait: one counter read after
// the start read, unless that read lands exactly on the target.
MEASURE_KEEP_CALL CounterSpan SpinWaitOverhead(std::uint32_t ms);
