// Processor faults on x86-64 Windows arrive as structured exceptions that the
// system finds through tables, not through frames registered on the stack:
// the dispatcher walks the stack with each function's unwind data (.pdata,
// .xdata) and calls the exception handler a function's unwind data names.
// GCC has no __try/__except, so the function that runs the guarded work is
// written here in assembly, with unwind data that names the guard's handler.
// Nothing is registered at run time and nothing is installed process-wide.
//
// On a fault the handler unwinds to a landing point in that function's frame
// with RtlUnwindEx, as compilers' own __except support does: the frames of
// the guarded work are unwound by their own unwind data, and the function
// returns false.
#include <windows.h>

#include "platform/fault_guard.h"
#include "platform/win32/guard_filter_win32.h"

// The function that runs the work, and its landing point (below).
extern "C" bool meter_guarded_call(plat::GuardedWork work, void* context,
                                   const void** faultAddress);
extern "C" char meter_guarded_call_landing[];

namespace {

// Where meter_guarded_call's frame keeps its third argument.
constexpr int kFaultAddressSlot = 40;

// The guard's handler, named by meter_guarded_call's unwind data. The frame
// it is called for is meter_guarded_call's (its stack pointer after the
// prologue): the unwind ends there.
extern "C" __attribute__((used)) EXCEPTION_DISPOSITION meter_guard_on_exception(
    EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* /*context*/,
    DISPATCHER_CONTEXT* dispatcher) {
  if (!plat::win32::TakenByGuard(*record)) {
    return ExceptionContinueSearch;
  }
  const void** const faultAddress =
      *reinterpret_cast<const void***>(static_cast<char*>(establisherFrame) + kFaultAddressSlot);
  if (faultAddress != nullptr) {
    *faultAddress = plat::win32::FaultAddress(*record);
  }
  plat::win32::RearmGuardPage(*record);
  RtlUnwindEx(establisherFrame, meter_guarded_call_landing, record, nullptr,
              dispatcher->ContextRecord, dispatcher->HistoryTable);
  return ExceptionContinueSearch;  // not reached: the unwind continues at the landing
}

}  // namespace

// meter_guarded_call(work, context, faultAddress): calls work(context) and
// returns true; after a fault, the landing returns false. Its frame keeps the
// caller's MXCSR and x87 control word, which the system need not keep across
// the dispatch: the landing puts them back, as a return from the work would
// have left them. The frame is 56 bytes: the work's 32-byte home area, the
// two controls, then faultAddress (at kFaultAddressSlot) for the handler,
// keeping the stack 16-byte aligned at the call.
//
// The x87 control word goes back through the environment: fldcw waits, and
// so would raise an exception the host left pending (an fdiv by zero with an
// unmasked exception and no waiting instruction after it) inside this very
// function, whose handler would take it and land again, for ever. fnstenv
// does not wait and masks every exception before fldenv loads the caller's
// word back, so a pending exception stays pending, as a return would leave
// it. The environment (28 bytes) goes into the home area, which the work no
// longer needs.
asm(R"(
    .text
    .p2align 4
    .globl meter_guarded_call
    .def meter_guarded_call; .scl 2; .type 32; .endef
    .seh_proc meter_guarded_call
meter_guarded_call:
    subq $56, %rsp
    .seh_stackalloc 56
    .seh_endprologue
    .seh_handler meter_guard_on_exception, @except
    stmxcsr 32(%rsp)
    fnstcw 36(%rsp)
    movq %r8, 40(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
    addq $56, %rsp
    ret
    .globl meter_guarded_call_landing
meter_guarded_call_landing:
    ldmxcsr 32(%rsp)
    fnstenv (%rsp)
    movzwl 36(%rsp), %eax
    movw %ax, (%rsp)
    fldenv (%rsp)
    xorl %eax, %eax
    addq $56, %rsp
    ret
    .seh_endproc
)");

namespace plat {

bool RunGuarded(GuardedWork work, void* context, const void** faultAddress) noexcept {
  return meter_guarded_call(work, context, faultAddress);
}

}  // namespace plat
