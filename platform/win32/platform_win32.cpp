// The platform layer on Windows: the kernel services themselves.
#include <windows.h>

#include "platform/platform.h"

namespace plat {

bool QueryCounterFrequency(std::int64_t& ticksPerSecond) {
  LARGE_INTEGER frequency{};
  const bool available = ::QueryPerformanceFrequency(&frequency) != FALSE;
  ticksPerSecond = frequency.QuadPart;
  return available;
}

std::int64_t QueryCounter() {
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

std::uint32_t GetPriorityClass() { return ::GetPriorityClass(::GetCurrentProcess()); }

bool SetPriorityClass(std::uint32_t priorityClass) {
  return ::SetPriorityClass(::GetCurrentProcess(), priorityClass) != FALSE;
}

std::int32_t GetThreadPriority() { return ::GetThreadPriority(::GetCurrentThread()); }

bool SetThreadPriority(std::int32_t priority) {
  return ::SetThreadPriority(::GetCurrentThread(), priority) != FALSE;
}

std::uint64_t GetSystemTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

}  // namespace plat
