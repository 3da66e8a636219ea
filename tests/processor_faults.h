// Real processor faults for the guard to catch.
#pragma once

enum class ScriptedFault {
  kNone,
  kAccessViolation,
  kIllegalInstruction,
  kPrivilegedInstruction,
  kDivideByZero
};

// Raises the fault for real: a processor fault, not a C++ exception.
void RaiseFault(ScriptedFault fault);
