#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <malloc.h>

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

std::uint64_t HeapBytesInUse() {
  _HEAPINFO entry{};
  std::uint64_t used = 0;
  while (_heapwalk(&entry) == _HEAPOK) {
    used += entry._useflag == _USEDENTRY ? entry._size : 0;
  }
  return used;
}

}  // namespace sys
