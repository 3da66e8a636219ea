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
// when there is no counter. failed: a counter read failed, or the counter
// stood still; the wait gave up and its span means nothing.
struct CounterSpan {
  std::int64_t ticks;
  std::int64_t ticksPerSecond;
  bool failed = false;
};

// A counter that has not moved for this many time-stamp cycles is taken for
// broken: about 0.4 s at 2.6 GHz, far beyond any counter's resolution (the
// kernel's tick at worst). Time the thread spends preempted is no standstill,
// as the counter moves on meanwhile.
constexpr std::int64_t kCounterStandstillCycles = std::int64_t{1} << 30;

// Busy-waits ms milliseconds on the high-resolution counter; returns at once
// when there is no counter, and gives up when the counter fails or stands
// still. A wait preempted near its end lasts longer than asked, which the
// span shows.
MEASURE_KEEP_CALL CounterSpan SpinWait(std::uint32_t ms);

// The same preparation as SpinWait without the wait: one counter read after
// the start read, unless that read lands exactly on the target.
MEASURE_KEEP_CALL CounterSpan SpinWaitOverhead(std::uint32_t ms);

// Reads the counter once. Under Wine the first counter read after a priority
// change or a sleep sometimes stalls for a reschedule (100-200 us); taken
// before the first wait, the stall stays out of cycles its ticks would not
// cover.
void SettleCounter();
