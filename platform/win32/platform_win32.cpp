// The platform layer on Windows: the kernel services themselves.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace {

// Whether a measurement holds the process's priority class: the one word of
// the module's that any two calls share, taken with one exchange and never
// waited on. A thread the host terminates mid-measurement leaves it taken,
// and the class is then left alone by every later measurement.
std::atomic<bool> gClassClaimed{false};

}  // namespace

namespace plat {

// The values of platform.h go to the kernel unchanged.
static_assert(kThreadPriorityErrorReturn == THREAD_PRIORITY_ERROR_RETURN);
static_assert(kThreadPriorityIdle == THREAD_PRIORITY_IDLE);
static_assert(kThreadPriorityNormal == THREAD_PRIORITY_NORMAL);
static_assert(kThreadPriorityTimeCritical == THREAD_PRIORITY_TIME_CRITICAL);
static_assert(kIdlePriorityClass == IDLE_PRIORITY_CLASS);
static_assert(kBelowNormalPriorityClass == BELOW_NORMAL_PRIORITY_CLASS);
static_assert(kNormalPriorityClass == NORMAL_PRIORITY_CLASS);
static_assert(kAboveNormalPriorityClass == ABOVE_NORMAL_PRIORITY_CLASS);
static_assert(kHighPriorityClass == HIGH_PRIORITY_CLASS);
static_assert(kRealtimePriorityClass == REALTIME_PRIORITY_CLASS);

// Windows gives every thread the time-stamp counter.
bool CounterReadable() { return true; }

bool QueryCounterFrequency(std::int64_t& ticksPerSecond, CounterClock& clock) {
  clock = 0;
  LARGE_INTEGER frequency{};
  const bool available = ::QueryPerformanceFrequency(&frequency) != FALSE;
  ticksPerSecond = frequency.QuadPart;
  return available;
}

bool QueryCounter(CounterClock /*clock*/, std::int64_t& ticks) {
  LARGE_INTEGER counter{};
  const bool read = ::QueryPerformanceCounter(&counter) != FALSE;
  ticks = counter.QuadPart;
  return read;
}

std::uint32_t GetPriorityClass() { return ::GetPriorityClass(::GetCurrentProcess()); }

bool SetPriorityClass(std::uint32_t priorityClass) {
  return ::SetPriorityClass(::GetCurrentProcess(), priorityClass) != FALSE;
}

// Windows has one rule for every change: a restore sets what was found.
bool RestorePriorityClass(std::uint32_t priorityClass) { return SetPriorityClass(priorityClass); }

bool ClaimPriorityClass() { return !gClassClaimed.exchange(true, std::memory_order_acq_rel); }

void ReleasePriorityClass() { gClassClaimed.store(false, std::memory_order_release); }

std::int32_t GetThreadPriority() { return ::GetThreadPriority(::GetCurrentThread()); }

bool SetThreadPriority(std::int32_t priority) {
  return ::SetThreadPriority(::GetCurrentThread(), priority) != FALSE;
}

bool RestoreThreadPriority(std::int32_t priority) { return SetThreadPriority(priority); }

// Windows ends no thread for the time it spins.
bool MaySpin() { return true; }

std::uint64_t GetSystemTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace plat
