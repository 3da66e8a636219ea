// The thin layer over the operating system's kernel services that the
// measurement and the meter call. One implementation per OS lives beside this
// header (linux/, win32/); tests link a scripted one in its place.
#pragma once

#include <cstdint>

namespace plat {

// Thread priority value meaning "no change" on the way in and "could not be
// read" on the way out.
constexpr std::int32_t kThreadPriorityErrorReturn = 0x7FFFFFFF;

// Thread priority levels with a name of their own.
constexpr std::int32_t kThreadPriorityIdle = -15;
constexpr std::int32_t kThreadPriorityNormal = 0;
constexpr std::int32_t kThreadPriorityTimeCritical = 15;

// Process priority class flags.
constexpr std::uint32_t kIdlePriorityClass = 0x40;
constexpr std::uint32_t kBelowNormalPriorityClass = 0x4000;
constexpr std::uint32_t kNormalPriorityClass = 0x20;
constexpr std::uint32_t kAboveNormalPriorityClass = 0x8000;
constexpr std::uint32_t kHighPriorityClass = 0x80;
constexpr std::uint32_t kRealtimePriorityClass = 0x100;

// Whether the calling thread may read the processor's time-stamp counter.
// Asked before a measurement changes anything: a refused read would fault.
bool CounterReadable();

// Which of the platform's clocks a wait reads: chosen by the wait's
// frequency query and handed to each of its counter reads, so that no wait
// mixes two clocks and no call shares the choice with another. Windows has
// one counter and ignores it.
using CounterClock = int;

// Ticks per second of the high-resolution counter, and the clock to read it
// by; false when there is none.
bool QueryCounterFrequency(std::int64_t& ticksPerSecond, CounterClock& clock);

// Current value of the high-resolution counter on clock, which never
// decreases; false when the counter could not be read.
bool QueryCounter(CounterClock clock, std::int64_t& ticks);

// The priority class: on Windows the process's, on Linux the calling
// thread's nice value. 0 when it cannot be read. Any non-zero value returned,
// given back to RestorePriorityClass, restores what was found.
std::uint32_t GetPriorityClass();

// Sets the priority class as a new change; false when refused.
bool SetPriorityClass(std::uint32_t priorityClass);

// Puts back a class that GetPriorityClass returned, exactly as found: not
// judged as a new change would be. False when refused.
bool RestorePriorityClass(std::uint32_t priorityClass);

// Whether this measurement may change the priority class. Where the class
// belongs to the whole process (Windows), one measurement at a time changes
// it, and one that finds the class taken measures under it as it is; no
// thread ever waits for another. Each claim granted is given up with
// ReleasePriorityClass once the class is back.
bool ClaimPriorityClass();
void ReleasePriorityClass();

// The calling thread's priority, or kThreadPriorityErrorReturn when it cannot
// be read. Any other value returned, given back to RestoreThreadPriority,
// restores what was found.
std::int32_t GetThreadPriority();

// Sets the calling thread's priority as a new change; false when refused.
bool SetThreadPriority(std::int32_t priority);

// Puts back a priority that GetThreadPriority returned, exactly as found.
// False when refused.
bool RestoreThreadPriority(std::int32_t priority);

// Whether the calling thread may busy-wait as it is now scheduled. False
// where a spin could end the host: on Linux, a real-time policy under a
// real-time time budget, which the kernel enforces with SIGXCPU.
bool MaySpin();

// Wall-clock time in 100 ns units since 1601-01-01 00:00 UTC.
std::uint64_t GetSystemTime();

}  // namespace plat
