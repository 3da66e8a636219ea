// Real processor faults for the guard to catch, one of each kind the
// processor raises for the instruction it runs.
#pragma once

enum class ScriptedFault {
  kNone,
  kAccessViolation,
  kIllegalInstruction,
  kPrivilegedInstruction,
  kDivideByZero,
  kIntegerOverflow,
  kX87InvalidOperation,
  kX87DivideByZero,
  kX87Overflow,
  kX87Underflow,
  kX87Inexact,
  kX87Denormal,
  kX87StackCheck,
  kSseDivideByZero,
};

// Raises the fault for real: a processor fault, not a C++ exception. The
// floating-point faults unmask their exception first; after one,
// ClearFloatingPointFaults puts the controls back.
void RaiseFault(ScriptedFault fault);

void ClearFloatingPointFaults();
