// Which exceptions the Windows guards take: the faults the processor raises
// while running the module's own code. Everything else goes on to the
// handlers further out: debugger notifications, exceptions raised on purpose,
// stack overflow (which needs its guard page back), and faults in other code,
// such as the C library's heap, whose damage the host must see.
#pragma once

#include <windows.h>

#include <cstdint>

// The linker's name for the start of the image that holds this code.
extern "C" IMAGE_DOS_HEADER __ImageBase;  // NOLINT(bugprone-reserved-identifier)

namespace plat::win32 {

inline bool IsProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    // A host's memory in a PAGE_GUARD page: the first touch raises this once
    // (a host vectored handler sees it first), and the system clears the
    // guard; RearmGuardPage puts it back.
    case STATUS_GUARD_PAGE_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    // SSE floating-point faults, raised for an unmasked MXCSR exception.
    case STATUS_FLOAT_MULTIPLE_FAULTS:
    case STATUS_FLOAT_MULTIPLE_TRAPS:
      return true;
    default:
      return false;
  }
}

// Whether address lies in the image this code was linked into, as its own
// headers give its extent.
inline bool InOwnImage(const void* address) {
  const auto base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + static_cast<std::uintptr_t>(__ImageBase.e_lfanew));
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  return at >= base && at - base < headers->OptionalHeader.SizeOfImage;
}

// The address a faulting access to memory touched; null for other faults.
inline const void* FaultAddress(const EXCEPTION_RECORD& record) {
  const bool onMemory = record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION ||
                        record.ExceptionCode == EXCEPTION_IN_PAGE_ERROR ||
                        record.ExceptionCode == STATUS_GUARD_PAGE_VIOLATION;
  return onMemory && record.NumberParameters >= 2
             ? reinterpret_cast<const void*>(record.ExceptionInformation[1])
             : nullptr;
}

// Puts PAGE_GUARD back on the page whose guard-page violation the guard
// takes. The system clears the flag as it raises the exception; left plain,
// a thread's stack would grow past its guard page unnoticed, and a host that
// watches the page would never hear of a later touch.
inline void RearmGuardPage(const EXCEPTION_RECORD& record) {
  void* const address = const_cast<void*>(FaultAddress(record));
  MEMORY_BASIC_INFORMATION page{};
  DWORD previous = 0;
  if (record.ExceptionCode == STATUS_GUARD_PAGE_VIOLATION && address != nullptr &&
      VirtualQuery(address, &page, sizeof page) == sizeof page && page.State == MEM_COMMIT) {
    VirtualProtect(address, 1, page.Protect | PAGE_GUARD, &previous);
  }
}

// Whether the guard takes the exception: a processor fault in the module's
// own code, being dispatched (not unwound).
inline bool TakenByGuard(const EXCEPTION_RECORD& record) {
  return (record.ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) == 0 &&
         IsProcessorFault(record.ExceptionCode) && InOwnImage(record.ExceptionAddress);
}

}  // namespace plat::win32
