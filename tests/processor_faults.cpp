#include "tests/processor_faults.h"

#include <cstdint>

namespace {

// An address in the first page, which no process may read on any OS.
volatile int* UnmappedAddress() {
  volatile std::uintptr_t address = 16;
  return reinterpret_cast<volatile int*>(address);
}

}  // namespace

void RaiseFault(ScriptedFault fault) {
  switch (fault) {
    case ScriptedFault::kAccessViolation:
      static_cast<void>(*UnmappedAddress());
      break;
    case ScriptedFault::kIllegalInstruction:
      __builtin_trap();
    case ScriptedFault::kPrivilegedInstruction:
      // Only the kernel may halt the processor.
      asm volatile("hlt");
      break;
    case ScriptedFault::kDivideByZero:
      // The instruction itself: in C++ the compiler or a sanitizer would get
      // there first.
      asm volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" : : : "eax", "ecx", "edx");
      break;
    case ScriptedFault::kNone:
      break;
  }
}
