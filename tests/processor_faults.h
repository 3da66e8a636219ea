// Real processor faults (and one C++ exception) for the guard to catch.
#pragma once

enum class ScriptedFault {
  kNone,
  kAccessViolation,
  kIllegalInstruction,
  kPrivilegedInstruction,
  kDivideByZero,
  kBadAlloc
};

// Raises the fault for real: a processor fault, not a C++ exception, except
// for kBadAlloc.
void RaiseFault(ScriptedFault fault);
