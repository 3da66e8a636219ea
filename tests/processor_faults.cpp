#include "tests/processor_faults.h"

#include <cstdint>

namespace {

// An address in the first page, which no process may read on any OS.
volatile int* UnmappedAddress() {
  volatile std::uintptr_t address = 16;
  return reinterpret_cast<volatile int*>(address);  // NOLINT(performance-no-int-to-ptr)
}

// The x87 control word with only the exception of mask bit unmasked, then
// the operation, then a waiting instruction, which raises it.
constexpr unsigned short kX87AllMasked = 0x037F;
constexpr unsigned short kInvalid = 0x01;
constexpr unsigned short kDenormal = 0x02;
constexpr unsigned short kZeroDivide = 0x04;
constexpr unsigned short kOverflow = 0x08;
constexpr unsigned short kUnderflow = 0x10;
constexpr unsigned short kPrecision = 0x20;

void UnmaskX87(unsigned short mask) {
  const unsigned short control = kX87AllMasked & ~mask;
  asm volatile("fninit\n\tfldcw %0" : : "m"(control));
}

void X87Divide(double dividend, double divisor) {
  asm volatile("fldl %0\n\tfdivl %1\n\tfwait\n\tfstp %%st(0)" : : "m"(dividend), "m"(divisor));
}

// MXCSR by its own instructions: the 32-bit build's compiler does not use SSE.
unsigned int Mxcsr() {
  unsigned int value = 0;
  asm volatile("stmxcsr %0" : "=m"(value));
  return value;
}

void SetMxcsr(unsigned int value) { asm volatile("ldmxcsr %0" : : "m"(value)); }

// The square, stored as a double: the x87's own registers hold far larger
// and smaller values than a double.
void X87Square(double factor) {
  double square = 0.0;
  asm volatile("fldl %1\n\tfmul %%st(0), %%st(0)\n\tfstpl %0\n\tfwait"
               : "=m"(square)
               : "m"(factor));
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
      // The instructions themselves: in C++ the compiler or a sanitizer
      // would get there first.
      asm volatile("xorl %%ecx, %%ecx\n\tdivl %%ecx" : : : "eax", "ecx", "edx");
      break;
    case ScriptedFault::kIntegerOverflow:
      // The one quotient that does not fit: INT_MIN / -1.
      asm volatile("movl $0x80000000, %%eax\n\tcltd\n\tmovl $-1, %%ecx\n\tidivl %%ecx"
                   :
                   :
                   : "eax", "ecx", "edx");
      break;
    case ScriptedFault::kX87InvalidOperation:
      UnmaskX87(kInvalid);
      X87Divide(0.0, 0.0);
      break;
    case ScriptedFault::kX87DivideByZero:
      UnmaskX87(kZeroDivide);
      X87Divide(1.0, 0.0);
      break;
    case ScriptedFault::kX87Overflow:
      UnmaskX87(kOverflow);
      X87Square(1e300);
      break;
    case ScriptedFault::kX87Underflow:
      UnmaskX87(kUnderflow);
      X87Square(1e-300);
      break;
    case ScriptedFault::kX87Inexact:
      UnmaskX87(kPrecision);
      X87Divide(1.0, 3.0);
      break;
    case ScriptedFault::kX87Denormal:
      UnmaskX87(kDenormal);
      X87Divide(4.9e-324, 1.0);  // the smallest denormal
      break;
    case ScriptedFault::kX87StackCheck:
      // A ninth push onto the eight registers.
      UnmaskX87(kInvalid);
      asm volatile("fld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfld1\n\tfwait");
      break;
    case ScriptedFault::kSseDivideByZero: {
      constexpr unsigned int kZeroDivideMask = 0x200;
      SetMxcsr(Mxcsr() & ~kZeroDivideMask);
      const float one = 1.0F;
      const float zero = 0.0F;
#if defined(__SSE__)
      asm volatile("movss %0, %%xmm0\n\tdivss %1, %%xmm0" : : "m"(one), "m"(zero) : "xmm0");
#else
      asm volatile("movss %0, %%xmm0\n\tdivss %1, %%xmm0" : : "m"(one), "m"(zero));
#endif
      break;
    }
    case ScriptedFault::kNone:
      break;
  }
}

void ClearFloatingPointFaults() {
  constexpr unsigned int kSseDefault = 0x1F80;
  asm volatile("fninit\n\tfldcw %0" : : "m"(kX87AllMasked));
  SetMxcsr(kSseDefault);
}
