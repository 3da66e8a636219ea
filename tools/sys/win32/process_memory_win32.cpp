#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include "tools/sys/process_memory.h"

namespace sys {

std::uint64_t ResidentKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) == FALSE) {
    return 0;
  }
  return counters.WorkingSetSize / 1024;
}

}  // namespace sys
